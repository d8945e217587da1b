"""The host's side of running a tool: the pool of tasks, warm worlds, and each call's exchange."""
