"""Stand-in for the engine's runtime package, beside the compiled modules of kelvra-runtime."""

# As in the engine's own: the package may span folders of several path
# entries (a checkout or an editable install, and site-packages with the
# compiled modules).
__path__ = __import__("pkgutil").extend_path(__path__, __name__)
