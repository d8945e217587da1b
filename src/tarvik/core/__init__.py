"""Host services shared by the tools: worker processes and their limits."""
