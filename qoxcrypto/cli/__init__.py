"""The command line (python3 -m qoxcrypto): the commands (commands.py), the exit codes and the
one-line failure they carry (exits.py), the view of a container's header and of why a key
does not open it (container_view.py), where the key comes from (keys.py) and the progress
line (progress.py).
"""
from qoxcrypto.cli.commands import main

__all__ = ["main"]
