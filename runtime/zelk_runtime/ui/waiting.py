"""What a run waits for: each interrupt's question (a node's `interrupt(value)`) or the
interrupt point it stopped at, the outcome of a resume started from the page, and the
answer form where the server allows one (answers.py says when)."""

from __future__ import annotations

from dataclasses import dataclass, field

from ..interrupts import Interrupt
from . import jsonview
from .answers import Job
from .html import Child, Html, h, join
from .reading import RunView


@dataclass
class FormView:
    """The answer form as the page shows it: `refusal` says why there is none."""

    refusal: str | None
    nonce: str = ""
    job: Job | None = None
    error: str | None = None  # why a submission was refused
    values: dict[str, str] = field(default_factory=dict)


def _question(item: Interrupt) -> Html:
    where = f"superstep {item.superstep}" + ("" if item.instance is None else f", Send instance {item.instance}")
    if item.when == "call":
        head = h("p", None, "Node ", h("strong", None, item.node), f" asks ({where}):")
        return h("div", {"class": "question"}, head, jsonview.tree(item.value, open_depth=3))
    words = "waits before it runs" if item.when == "before" else "waits after it ran"
    return h("div", {"class": "question"}, h("p", None, "Node ", h("strong", None, item.node), f" {words} ({where})."))


def _job(job: Job | None) -> Child:
    if job is None:
        return None
    if job.state == "running":
        return h("p", {"class": "job running", "id": "job"}, f"Resuming, as {job.author} asked...")
    if job.state == "done":
        return h("p", {"class": "job ok", "id": "job"}, f"Resumed, as {job.author} asked: {job.outcome}")
    return h(
        "div",
        {"class": "job error", "id": "job"},
        h("p", None, f"The resume {job.author} asked for failed:"),
        h("pre", None, job.outcome),
    )


def _form(view: RunView, form: FormView) -> Html:
    asking = sorted({item.node for item in view.waiting if item.when == "call"})
    fields: list[Child] = [h("input", {"type": "hidden", "name": "nonce", "value": form.nonce})]
    for node in asking:
        name = f"answer:{node}"
        fields.append(
            h(
                "label",
                None,
                h("span", None, "Answer for ", h("strong", None, node), " (JSON)"),
                h(
                    "textarea",
                    {"name": name, "rows": "2", "required": True, "placeholder": 'true, 42, "text", {"key": 1}'},
                    form.values.get(name, ""),
                ),
            )
        )
    fields.append(
        h(
            "label",
            None,
            h(
                "span",
                None,
                "State update" + (" (optional)" if view.waiting else ""),
                ": a JSON object of channel to value",
            ),
            h(
                "textarea",
                {"name": "update", "rows": "2", "placeholder": '{"channel": "value"}', "required": not view.waiting},
                form.values.get("update", ""),
            ),
        )
    )
    fields.append(
        h(
            "label",
            {"class": "who"},
            h("span", None, "Your name (recorded in the audit log)"),
            h(
                "input",
                {"name": "author", "required": True, "maxlength": "100", "value": form.values.get("author", "")},
            ),
        )
    )
    button = "Answer and resume" if asking else "Resume" if view.waiting else "Update and resume"
    fields.append(h("button", {"type": "submit"}, button))
    error = h("p", {"class": "error", "id": "form-error"}, form.error) if form.error else None
    return h("form", {"method": "post", "action": f"/answer/{view.ref.key}", "class": "answer"}, error, fields)


def waiting_section(view: RunView, form: FormView, command: str) -> Html:
    parts: list[Child] = [_job(form.job)]
    if view.waiting:
        parts.append(h("h2", None, "Waiting"))
        parts += [_question(item) for item in view.waiting]
    if form.refusal is None:
        if view.waiting:
            parts.append(_form(view, form))
        else:
            summary = h("summary", None, "Update the state and resume the run")
            parts.append(h("details", {"class": "update", "open": bool(form.error)}, summary, _form(view, form)))
    elif view.waiting:
        parts.append(
            h(
                "p",
                {"class": "muted"},
                f"Not answered here: {form.refusal}. On the command line: ",
                h("code", None, command),
            )
        )
    if form.refusal is not None and form.error:
        parts.append(h("p", {"class": "error", "id": "form-error"}, form.error))
    return join(parts)
