"""The benchmark sections, one module each; bench/run.py runs them."""
