"""Stand-in for the engine's runtime package, beside the compiled modules of kelvra-runtime."""
