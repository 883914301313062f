# Type stubs for the tolmek extension module.
