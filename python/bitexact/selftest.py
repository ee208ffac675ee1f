"""python3 -m bitexact.selftest: the package's self-test (see
help(bitexact.selftest)); exit status 0 when every bit is as recorded."""
import sys

from bitexact._selftest import main

if __name__ == "__main__":
    sys.exit(main())
