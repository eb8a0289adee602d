"""Effects by variable: the contrasts of a call, the passes over the rows, the table."""
