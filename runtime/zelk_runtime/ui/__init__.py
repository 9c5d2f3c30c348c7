"""The runs of one or more stores as web pages: `python -m zelk_runtime serve STORE...`.

Pages are rendered on the server (html.py escapes every value by construction), with one
small script for following a running run and one style sheet, both served by the app.
Starlette and uvicorn (extra `[ui]`) are imported only by app.py, which only `serve` loads.
"""
