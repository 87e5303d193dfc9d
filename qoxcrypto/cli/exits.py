"""The command line's failures: one exception type carrying a one-line message and an exit code."""

EXIT_FAILURE = 1  # a file is missing or unreadable, or is not what the command needs
EXIT_USAGE = 2    # the command line or the key setting is wrong (argparse also exits with 2)
EXIT_KEY = 3      # the key does not open the container: wrong key, or damaged or changed data


class CliError(Exception):
    """A failure reported to the user as one line on stderr, ending the command."""

    def __init__(self, message, code=EXIT_FAILURE):
        Exception.__init__(self, message)
        self.code = code
