"""orin: two-dimensional risk fields around geometric obstacles."""
