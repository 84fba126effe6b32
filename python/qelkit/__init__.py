"""qelkit for Python hosts: the seven libraries as extension modules.

    from qelkit.sdk.qelfacade import QelDriver

Each module is a thin layer over the library of the same name; the
exceptions they raise are in qelkit.common.errors.
"""
