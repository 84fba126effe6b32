"""Platform client, JSON file store, text encryption, task launcher, errors."""
