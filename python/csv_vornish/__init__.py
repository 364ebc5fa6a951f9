"""Repairs damaged CSV files."""
