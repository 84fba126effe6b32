"""A QR login that can be waited for.

    from qelkit.sdk.login import Login

    login = Login.start()          # asks for a token, starts the completion
    show(login.data_url)           # or login.link, or login.modules
    outcome = login.wait()         # a LoginOutcome; wait(timeout) may give None
    if outcome.stored:
        print(outcome.account_id, outcome.display_name)
"""

from qelkit.sdk.qelfacade import Login, LoginOutcome

__all__ = ["Login", "LoginOutcome"]
