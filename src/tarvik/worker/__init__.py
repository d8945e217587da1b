"""The task's side of running a tool: the zygote, each task's world, its tool process, and the
protocol they speak with the host. Standard library only, and loaded by path in the worker."""
