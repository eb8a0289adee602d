"""The fit on partitioned data: sources, runners, the design learnt once, Newton's method."""
