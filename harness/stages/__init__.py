"""The bodies of the stages, one module per kind of stage."""
