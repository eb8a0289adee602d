"""The one failure the command reports: a short message and an exit status."""

EXIT_FAILURE = 1
EXIT_USAGE = 2


class CliError(Exception):
    """A failure to report as one line on stderr, without a traceback.

    The message says what is wrong and how to fix it. ``status`` is the exit status:
    2 for a misuse of the options, 1 for a problem with the data, the model or a file.
    """

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


def first_line(error: BaseException) -> str:
    """Returns the first non-blank line of an exception's text, or its class name."""
    for line in str(error).splitlines():
        if line.strip():
            return line.strip()
    return type(error).__name__
