"""The host's tools offered over the Model Context Protocol."""

from tarvik.server.app import build_server, serve_streams
from tarvik.server.stdio import serve_stdio

__all__ = ["build_server", "serve_stdio", "serve_streams"]
