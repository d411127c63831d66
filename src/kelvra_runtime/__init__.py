"""Kelvra runtime: the compiled core of the agent-workflow engine."""
