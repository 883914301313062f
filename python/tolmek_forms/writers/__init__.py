"""The writers, one module per form."""
