"""The exceptions qelkit raises.

Every qelkit failure is an Error. Each leaf also derives from the built-in
exception a Python caller would catch for that kind of failure, so
``except ConnectionError`` or ``except ValueError`` work as expected. The
message says what failed and where.

Argument checks raise the built-in TypeError; a negative varint raises the
built-in ValueError.
"""


class Error(Exception):
    """Root of every qelkit failure."""


class TransportError(Error, ConnectionError):
    """One HTTP exchange failed below HTTP: connection, TLS, time-out."""


class NoReplyError(Error, ConnectionError):
    """Every attempt of a request failed or was refused: there is no reply."""


class ProtocolError(Error, ValueError):
    """A reply or stored document lacked the shape it must have."""


class ConversionError(Error, ValueError):
    """A value could not be made the integer a statistics row needs."""


class DecodingError(Error, ValueError):
    """Bytes could not be decoded: invalid Base64, text that is not UTF-8."""


class InvalidArgumentError(Error, ValueError):
    """An argument was refused before any work was done."""


class AuthenticationError(Error, ValueError):
    """Authenticated decryption failed: the tag did not verify."""


class SystemFailure(Error, OSError):
    """The operating system refused something (a file, a child process)."""
