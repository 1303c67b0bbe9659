"""Part of the zolviai package."""
