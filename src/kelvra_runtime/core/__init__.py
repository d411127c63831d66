"""Core layer of the Kelvra runtime."""
