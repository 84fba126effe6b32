import base64
import os
import sys
import tempfile
import time
from qelkit.common.docstore import JsonFileHandler
from qelkit.sdk.qelfacade import QelDriver

known = set(JsonFileHandler.load_data("data.json"))
record = QelDriver.get_login_qrcode_base64()  # {"code": 0, "data": "data:image/png;base64,..."}
if record["code"] != 0:
    sys.exit(f"the platform refused a login code (code {record['code']})")
# The image is as secret as the login: readable by this user only (mkstemp
# makes it 0600), and put in place by a rename, never written through a link.
fd, temporary = tempfile.mkstemp(dir=".", prefix=".login-qr.")
with os.fdopen(fd, "wb") as f:
    f.write(base64.b64decode(record["data"].split(",", 1)[1]))
os.replace(temporary, "login-qr.png")
print("Scan the login QR code in", os.path.abspath("login-qr.png"), "with the phone app", flush=True)
while not (new := set(JsonFileHandler.load_data("data.json")) - known):
    time.sleep(1)  # the login child stores the account once the phone confirms
for row in QelDriver.get_detailed_data_statistic(new.pop(), 1772323200)["data"]:
    print(row)
