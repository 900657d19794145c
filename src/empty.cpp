// Keeps every library target non-empty while its folder is still being filled.
