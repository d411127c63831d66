"""Stand-in for the engine's core layer."""
