"""The native module (`varnok_mellix._varnok_mellix`)."""

from typing import Final, final

__version__: Final[str]
__all__ = ["__version__", "Mellix"]

@final
class Mellix:
    """A mellix instance driven by JSON commands.

    `unsendable`: a handle owns a mutable spec and the last-built context, so it
    is bound to the thread that created it.
    """

    def __new__(cls, spec_json: str) -> Mellix:
        """Create an instance from a spec JSON text.

        Raises TypeError when `spec_json` is not a str and ValueError when the
        spec is refused.
        """

    def command(self, cmd_json: str) -> str:
        """Apply a command JSON and return the resulting response JSON."""

    @staticmethod
    def version() -> str:
        """The library version."""
