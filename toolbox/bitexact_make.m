function names_out = bitexact_make(outdir)
%BITEXACT_MAKE Build the bitexact modules with this host's own mex command.
%   BITEXACT_MAKE builds every module of the checkout (modules/<name>.cpp,
%   with modules/args.cpp and core/*.cpp) with the mex command of the MATLAB
%   or GNU Octave that runs it, into the folder of this file, beside the
%   modules' help files. Put that folder on the path to call them.
%
%   BITEXACT_MAKE(OUTDIR) builds into OUTDIR instead (created if missing) and
%   copies each module's help file beside it; addpath(OUTDIR) then makes the
%   modules and their help available.
%
%   NAMES = BITEXACT_MAKE(...) returns the names of the modules built.
%
%   The modules are compiled so that they give the same bits as every other
%   build: C++17, no fused multiply-add (-ffp-contract=off; GCC and clang,
%   Apple's included, otherwise fuse a product and a sum into one rounding
%   wherever the processor can, as every ARM processor can), no fast-math,
%   SSE2 arithmetic on 32-bit x86 (/fp:precise with Microsoft's compiler).
%   The flags come after the host's own, so they win over them.
%   In MATLAB they use the 32-bit-dimension array interface
%   (-compatibleArrayDims).
%
%   Example
%     bitexact_make(fullfile(tempdir, 'bitexact'));
%     addpath(fullfile(tempdir, 'bitexact'));
%     help gridlerp
%
%   Errors
%     bitexact:noSources    this file is not in the toolbox folder of a checkout.
%     bitexact:buildFailed  the compiler failed; its output is shown above.
%
%   See also BITEXACT_DEMO, MEX.

  toolbox = fileparts(mfilename('fullpath'));
  root = fileparts(toolbox);
  args = fullfile(root, 'modules', 'args.cpp');
  modules = dir(fullfile(root, 'modules', '*.cpp'));
  modules = modules(~strcmp({modules.name}, 'args.cpp'));
  if isempty(modules) || ~exist(args, 'file')
    error('bitexact:noSources', ...
          'No module sources in %s: bitexact_make must stay in the toolbox folder of a checkout.', ...
          root);
  end
  core = dir(fullfile(root, 'core', '*.cpp'));
  shared = [{args}, cellfun(@(f) fullfile(root, 'core', f), {core.name}, ...
                               'UniformOutput', false)];

  if nargin < 1 || isempty(outdir)
    outdir = toolbox;
  end
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end

  % 32-bit x86 rounds in the x87 unit's wider registers unless told to use SSE2.
  [~, maxsize] = computer();
  x86_32 = maxsize < 2^32 && ~isempty(regexpi(computer(), '86|^pcwin$'));
  in_octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
  if in_octave
    [build, restore] = octave_build(root, x86_32); %#ok<ASGLU> restore acts when cleared
  else
    build = matlab_build(root, x86_32);
  end

  names = {};
  for k = 1:numel(modules)
    [~, name] = fileparts(modules(k).name);
    clear(name);   % a loaded module cannot always be replaced
    try
      build(outdir, name, [{fullfile(root, 'modules', modules(k).name)}, shared]);
    catch err
      error('bitexact:buildFailed', 'Building %s failed: %s', name, err.message);
    end
    copy_help(fullfile(toolbox, [name '.m']), fullfile(outdir, [name '.m']));
    fprintf('Built %s\n', fullfile(outdir, [name '.' mexext()]));
    names{end + 1} = name; %#ok<AGROW>
  end
  if nargout > 0
    names_out = names;
  end
end

function [build, restore] = octave_build(root, x86_32)
  % Octave's mex is mkoctfile --mex. mkoctfile takes an option it does not
  % know as one with an argument, which would swallow the next source, so
  % the compiler flags travel in CXXFLAGS, added to Octave's own.
  flags = '-std=c++17 -ffp-contract=off -fno-fast-math';
  if x86_32
    flags = [flags ' -msse2 -mfpmath=sse'];
  end
  saved = getenv('CXXFLAGS');
  setenv('CXXFLAGS', [mkoctfile('-p', 'CXXFLAGS') ' ' flags]);
  restore = onCleanup(@() restore_env('CXXFLAGS', saved));

  options = {['-I' root]};
  if isunix() && ~ismac()
    % Export mexFunction alone, under the version node MEX.
    options{end + 1} = ['-Wl,--version-script=' fullfile(root, 'modules', 'mexFunction.map')];
  end
  build = @(outdir, name, sources) ...
    mex(options{:}, '-o', fullfile(outdir, [name '.mex']), sources{:});
end

function build = matlab_build(root, x86_32)
  % MATLAB's mex: the 32-bit-dimension interface (creation calls linked as
  % the _700 names) and the compiler's own spelling of the flags.
  compiler = mex.getCompilerConfigurations('C++', 'Selected');
  if ~isempty(compiler) && strncmpi(compiler(1).ShortName, 'MSVC', 4)
    flags = 'COMPFLAGS=$COMPFLAGS /std:c++17 /fp:precise';
    if x86_32
      flags = [flags ' /arch:SSE2'];
    end
  else
    flags = 'CXXFLAGS=$CXXFLAGS -std=c++17 -ffp-contract=off -fno-fast-math';
    if x86_32
      flags = [flags ' -msse2 -mfpmath=sse'];
    end
  end
  build = @(outdir, name, sources) ...
    mex('-compatibleArrayDims', flags, ['-I' root], '-outdir', outdir, ...
        '-output', name, sources{:});
end

function copy_help(help_file, target)
  % Puts the help file beside the module unless it is there already (as when
  % building into the toolbox folder itself).
  if exist(help_file, 'file') && ...
     ~(exist(target, 'file') && strcmp(fileread(target), fileread(help_file)))
    copyfile(help_file, target);
  end
end

function restore_env(name, value)
  if isempty(value)
    unsetenv(name);
  else
    setenv(name, value);
  end
end
