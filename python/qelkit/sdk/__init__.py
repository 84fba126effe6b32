"""Facade, statistics page worker, statistics fan-out."""
