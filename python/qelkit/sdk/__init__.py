"""Facade, statistics page worker, statistics fan-out, and the SDK's own API
for hosts (``from qelkit.sdk import Accounts, Login, Statistics``)."""

# The SDK's own classes live in the facade's module; they are loaded on first
# use, so that importing another module of this package does not load it.
_FROM_FACADE = ("Accounts", "AccountCheck", "Login", "LoginOutcome", "Statistics", "ListEntry", "DetailRow")


def __getattr__(name):
    if name in _FROM_FACADE:
        from qelkit.sdk import qelfacade

        return getattr(qelfacade, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
