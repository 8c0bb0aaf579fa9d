"""Starts or stops the Wine session that the end-to-end tests share:
    session.py start PREFIX | session.py stop PREFIX"""

import sys

import wine

if __name__ == "__main__":
    action, prefix = sys.argv[1], sys.argv[2]
    if action == "start":
        wine.start_session(prefix)
    else:
        wine.stop_session(prefix)
