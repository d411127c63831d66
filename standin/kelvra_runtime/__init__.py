"""Stand-in for the engine's package, for using the runtime modules without the engine."""
