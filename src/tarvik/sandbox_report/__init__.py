"""The tool sandbox as the operator sees it: the summary a server logs at start (`summary.py`),
and `tarvik sandbox`'s live check (`check.py`), whose attacks run as a tool (`attack.py`)."""
