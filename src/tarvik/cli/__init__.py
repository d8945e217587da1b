"""The `tarvik` console command."""
