"""The competitors: one module each, with the worker that times it in a process of its own."""
