"""python3 -m qoxcrypto: the command line of qoxcrypto.cli."""
import sys

from qoxcrypto.cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python3 -m qoxcrypto"))
