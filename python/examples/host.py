import time
from qelkit.common.docstore import JsonFileHandler
from qelkit.sdk.qelfacade import QelDriver

known = set(JsonFileHandler.load_data("data.json"))
print(QelDriver.get_login_qrcode_base64()["data"][:40] + "...")  # the QR image to show
while not (new := set(JsonFileHandler.load_data("data.json")) - known):
    time.sleep(1)  # the login child stores the account once the phone confirms
for row in QelDriver.get_detailed_data_statistic(new.pop(), 1772323200)["data"]:
    print(row)
