# The factor, its controller and its two flows.
list(APPEND smartcard_sources)
