"""What every request passes before a page sees it, and the headers every answer carries.

- Host: a server bound to a loopback address answers only requests naming a loopback
  host, so a web page elsewhere cannot reach it through a name it points at 127.0.0.1.
- Token: with `--token`, a request needs the token (but for the static script, style and
  icon, the same for every server), compared in constant time: in the
  cookie the server sets (HttpOnly, SameSite=Strict) once a page was visited with
  `?token=...`; that visit is sent on to the same address without the token.
- Forms: a request that may change something (anything but GET and HEAD) must come from
  the server's own pages: its Origin, when sent, is the server's own, and the browser's
  Sec-Fetch-Site, when sent, says same-origin. The answer form adds its own nonce.
- Headers: a Content-Security-Policy that allows scripts, styles, images and requests only
  from the server itself and no inline script (the drawing's one style element is allowed
  by its hash), no framing, no sniffing of content types, nothing cached.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import ipaddress
from dataclasses import dataclass
from urllib.parse import urlencode

from starlette.datastructures import MutableHeaders
from starlette.requests import Request
from starlette.responses import HTMLResponse, RedirectResponse, Response
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from ..draw import STYLE
from .pages import message_page

COOKIE = "zelk_ui_token"
LOOPBACK_NAMES = frozenset({"localhost", "localhost.", "ip6-localhost"})
SAFE_METHODS = frozenset({"GET", "HEAD"})
PUBLIC = "/static/"  # what is the same for every server: served without the token


def loopback(host: str) -> bool:
    """Whether `host` (a name or an address, IPv6 with or without brackets) is this machine only."""
    name = host.strip("[]").lower()
    if name in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


def style_hash(text: str) -> str:
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode("ascii") + "'"


CSP = "; ".join(
    [
        "default-src 'self'",
        "script-src 'self'",
        f"style-src 'self' {style_hash(STYLE)}",
        "img-src 'self'",
        "connect-src 'self'",
        "object-src 'none'",
        "base-uri 'none'",
        "form-action 'self'",
        "frame-ancestors 'none'",
    ]
)
HEADERS = {
    "content-security-policy": CSP,
    "x-content-type-options": "nosniff",
    "x-frame-options": "DENY",
    "referrer-policy": "same-origin",
    "cache-control": "no-store",
}


@dataclass(frozen=True)
class Guard:
    token: str | None  # None: no token needed
    loopback_only: bool  # answer only requests that name a loopback host

    def token_ok(self, given: str | None) -> bool:
        if self.token is None:
            return True
        return given is not None and hmac.compare_digest(given.encode("utf-8"), self.token.encode("utf-8"))

    def refusal(self, request: Request) -> Response | None:
        """The answer to a request that may not reach the pages, or None."""
        host = request.url.hostname or ""
        if self.loopback_only and not loopback(host):
            return _refused(400, "Wrong host", "This server answers only requests for a loopback address.")
        if request.method not in SAFE_METHODS:
            origin = request.headers.get("origin")
            own = f"{request.url.scheme}://{request.headers.get('host', '')}"
            site = request.headers.get("sec-fetch-site")
            if (origin is not None and origin != own) or (site is not None and site not in ("same-origin", "none")):
                return _refused(403, "Refused", "A form of this server can only be sent from its own pages.")
        if self.token_ok(request.cookies.get(COOKIE)):
            return None
        if request.method in SAFE_METHODS and request.url.path.startswith(PUBLIC):
            return None  # the pages' own script, style and icon, so that a refusal is readable
        given = request.query_params.get("token")
        if request.method in SAFE_METHODS and self.token_ok(given) and self.token is not None:
            rest = [(key, value) for key, value in request.query_params.multi_items() if key != "token"]
            target = request.url.path + (f"?{urlencode(rest)}" if rest else "")
            response = RedirectResponse(target, status_code=303)
            response.set_cookie(COOKIE, self.token, httponly=True, samesite="strict", path="/")
            return response
        return _refused(
            401, "Token needed", "This server needs its token: open its address once with ?token=... added."
        )


def _refused(status: int, title: str, text: str) -> Response:
    return HTMLResponse(message_page(title, text), status_code=status)


class Guarded:
    """The app behind the guard, every response with the security headers."""

    def __init__(self, app: ASGIApp, guard: Guard) -> None:
        self.app = app
        self.guard = guard

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        async def sending(message: Message) -> None:
            if message["type"] == "http.response.start":
                headers = MutableHeaders(scope=message)
                for name, value in HEADERS.items():
                    headers[name] = value
            await send(message)

        refusal = self.guard.refusal(Request(scope))
        if refusal is not None:
            await refusal(scope, receive, sending)
            return
        await self.app(scope, receive, sending)
