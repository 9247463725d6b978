# Certificate handling: readers, card keys, chains, bundles.
list(APPEND smartcard_sources)
