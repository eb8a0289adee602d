"""The formula: its factors, how each design column is made from them, and derivatives."""
