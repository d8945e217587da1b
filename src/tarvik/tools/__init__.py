"""The agent's tools: the base class, the registry and the tool creator.

The compiled ``tool_creator`` module is imported on demand, never from here.
"""
