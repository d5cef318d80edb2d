"""ssh1d: a protocol 1.5 SSH server for exercising terminal clients."""
