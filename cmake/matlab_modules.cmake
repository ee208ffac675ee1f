# The modules for MATLAB, built with FindMatlab's matlab_add_mex into
# <build>/matlab/<name>.<mexext>, each with its help file beside it. They use
# the 32-bit-dimension array interface (MX_COMPAT_32, as mex
# -compatibleArrayDims does), so the creation calls link as the _700 names.
# The determinism flags come from the project-wide compile options.
find_package(Matlab REQUIRED COMPONENTS MX_LIBRARY)
foreach(name ${MODULE_NAMES})
  # The help file is listed as a source so that it is copied beside the
  # module; it must not be compiled (CMake would take .m for Objective-C).
  set_source_files_properties(${CMAKE_SOURCE_DIR}/toolbox/${name}.m
    PROPERTIES HEADER_FILE_ONLY TRUE)
  matlab_add_mex(NAME ${name}_matlab MODULE OUTPUT_NAME ${name}
    SRC ${CMAKE_SOURCE_DIR}/modules/${name}.cpp ${CMAKE_SOURCE_DIR}/modules/args.cpp
    DOCUMENTATION ${CMAKE_SOURCE_DIR}/toolbox/${name}.m
    LINK_TO numcore R2017b)
  target_include_directories(${name}_matlab PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name}_matlab PRIVATE MX_COMPAT_32)
  set_target_properties(${name}_matlab PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/matlab
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/matlab)
endforeach()
