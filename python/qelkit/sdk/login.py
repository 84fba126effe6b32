"""A QR login that can be waited for.

    from qelkit.sdk.login import Login

    with Login.start() as login:       # asks for a token, starts the completion
        show(login.data_url)           # or login.link, or login.modules
        outcome = login.wait()         # a LoginOutcome; wait(timeout) may give None
    if outcome.stored:
        print(outcome.account_id, outcome.display_name)

An exception leaving the with block (Ctrl-C's KeyboardInterrupt during
wait() included) cancels the login, so no login completes unseen.
"""

from qelkit.sdk.qelfacade import Login, LoginOutcome

__all__ = ["Login", "LoginOutcome"]
