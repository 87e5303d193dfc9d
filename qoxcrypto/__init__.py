"""qoxcrypto: the .qox container (qoxcrypto.crypto) and its command line (python3 -m qoxcrypto)."""

__version__ = "1.0.0"
