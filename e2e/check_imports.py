"""Fails when the .exe imports a DLL that is not part of Windows itself: the
program must run from a bare copy, with no MinGW runtime beside it."""

import re
import subprocess
import sys

ALLOWED = {"kernel32.dll", "advapi32.dll", "shlwapi.dll", "user32.dll", "msvcrt.dll",
           "ucrtbase.dll"}

objdump, exe = sys.argv[1], sys.argv[2]
text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
dlls = {m.lower() for m in re.findall(r"DLL Name:\s*(\S+)", text)}
api_sets = {d for d in dlls if d.startswith("api-ms-win-crt-")}
unexpected = sorted(dlls - ALLOWED - api_sets)
print("imports:", ", ".join(sorted(dlls)))
for needed in ("kernel32.dll", "advapi32.dll", "shlwapi.dll", "user32.dll"):
    if needed not in dlls:
        sys.exit(f"{needed} is not imported: a system function resolved from elsewhere")
if unexpected:
    sys.exit("imports DLLs that Windows does not ship: " + ", ".join(unexpected))
