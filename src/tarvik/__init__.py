"""tarvik: tools that let an AI agent extend itself at run time."""

__version__ = "0.1.0"
