"""The exceptions qelkit raises.

Every qelkit failure is an Error. Each leaf also derives from the built-in
exception a Python caller would catch for that kind of failure, so
``except ConnectionError`` or ``except ValueError`` work as expected. The
message says what failed and where.

Argument checks raise the built-in TypeError; a negative varint raises the
built-in ValueError.

A detailed statistics query that fails after some pages arrived raises an
error that also carries what it did get: ``rows`` (the normalised rows of the
pages that answered, in page order) and ``failed_pages`` (a list of
FailedPage(page, reason) for the pages that did not). Other errors have none.
"""

import collections

FailedPage = collections.namedtuple("FailedPage", "page reason")
FailedPage.__doc__ = "A page of a detailed query that failed: its number (from 0) and why, in words."


class Error(Exception):
    """Root of every qelkit failure."""

    rows = ()
    failed_pages = ()


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


class LoginExpiredError(Error, PermissionError):
    """The platform no longer accepts the stored login of ``account``: log in again."""

    account = None


class PlatformError(Error, RuntimeError):
    """The platform answered a status the query cannot serve: ``code`` 303
    (still busy after every re-request) or its own error code. A reply came,
    so it is not a ConnectionError; nothing was wrong with a value, so it is
    not a ValueError."""

    code = None


class PlatformBusyError(PlatformError):
    """The platform stayed busy through every re-request of a page (``code``
    303): not a refusal, it may serve the query later."""


class DataFileError(Error, OSError):
    """The data file exists but does not read as a JSON object (invalid JSON,
    a byte-order mark, another kind of value, no permission); ``path`` names
    it."""

    path = None


class AccountNotStoredError(InvalidArgumentError, LookupError):
    """The account named has no stored login in the data file; ``account``
    names it. Nothing was asked of the platform."""

    account = None


class PageLimitError(ProtocolError):
    """A detailed query reached its page limit: the platform kept sending rows."""


class StoredLoginError(Error, ValueError):
    """The stored login of ``account`` does not decrypt (written by another
    build, or damaged): log in again. Raised by the SDK's own API
    (qelkit.sdk.Statistics, qelkit.sdk.Accounts)."""

    account = None
