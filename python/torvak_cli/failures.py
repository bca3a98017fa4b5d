"""The one kind of failure the command reports in one line."""


class CliError(Exception):
    """A failure that the user is told about in one line; the command exits with status 1."""
