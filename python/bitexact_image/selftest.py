"""venv/bin/python3 -m bitexact_image.selftest, with the interpreter of the
environment the package is installed in: the package's self-test (see
help(bitexact_image.selftest)); exit status 0 when every bit is as recorded."""
import sys
import types

from bitexact_image._selftest import main

if __name__ == "__main__":
    sys.exit(main())
else:
    # Imported as bitexact_image.selftest, this module takes the place of the
    # package's function of the same name: it calls like that function.
    _function = getattr(sys.modules["bitexact_image"], "selftest", None)
    if isinstance(_function, types.FunctionType):
        class _CallableModule(types.ModuleType):
            def __call__(self, path=None):
                return _function(path)

        sys.modules[__name__].__class__ = _CallableModule
