"""The page tests' fixtures, shared by every test module of this folder."""

from browser import browser, browser_page  # noqa: F401  (fixtures found by pytest through this import)
