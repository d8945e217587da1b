"""The interface every tool offers to the language model."""

from __future__ import annotations

from abc import ABC, abstractmethod
from typing import Any


class Tool(ABC):
    """A tool the host can describe to the model and call on its behalf."""

    @property
    @abstractmethod
    def name(self) -> str:
        """The name the model calls the tool by."""

    @property
    @abstractmethod
    def description(self) -> str:
        """What the tool does, as shown to the model."""

    @property
    @abstractmethod
    def parameters(self) -> dict[str, Any]:
        """A JSON Schema object describing the keyword arguments."""

    @abstractmethod
    async def execute(self, **kwargs: Any) -> Any:
        """Run the tool with the model's arguments and return its result text."""
