"""What the bridge's rules say one message should produce, worked out in plain Python from the
rules (the event rules, the reply composition and the worker's apology), never from the module's
code. The soak and the fuzzer compare every message against it."""

import base64
from typing import NamedTuple

NO_ANSWER = "I received your message but had no response to give. Could you try rephrasing?"
DONE = "✅ Done!"
NOT_INITIALIZED = ("⚠️ Kavori agent is not initialized. Please check the web UI and ensure an API key is "
                   "configured.")
APOLOGY = "⚠️ Sorry, I encountered an error:\n"
PROCESSING_ERROR = "⚠️ Processing error: "


class Outcome(NamedTuple):
    kind: str  # "reply" or "apology": what the handler hands to the reply sending
    text: str
    photos: int  # photos the connector was asked to send
    screenshots: int  # of those, the ones counted as delivered


def screenshot_delivered(image, connector_succeeds=True):
    """The screenshot delivery for one image: raises at the call for a non-str image, False when
    the text does not decode, else what the connector reports."""
    if type(image) is not str:
        raise TypeError(f"Argument 'image_base64' has incorrect type (expected str, got {type(image).__name__})")
    try:
        base64.b64decode(image)
    except Exception:
        return None
    return bool(connector_succeeds)


def agent_run(events, failure=None, connector_succeeds=True):
    """The outcome of one agent run that yields `events` and then ends, or raises `failure`."""
    parts, summaries = [], []
    photos = screenshots = 0
    try:
        for event in events:
            kind, data = event.type, event.data
            if kind == "text" and data.get("content"):
                content = data["content"]
                parts.append(content)
                str(content[:100])  # the debug line takes a slice
            elif kind == "tool_call":
                name = data.get("tool", "")
                if name == "plan" or name == "memory":
                    continue
                operation = data.get("arguments", {}).get("operation", "")
                summaries.append("🔧 " + str(name) + ("." + str(operation) if operation else ""))
            elif kind == "tool_result":
                if data.get("screenshot") and data.get("image_base64"):
                    sent = screenshot_delivered(data["image_base64"], connector_succeeds)
                    photos += sent is not None
                    screenshots += bool(sent)
            elif kind == "error":
                parts.append("⚠️ " + str(data.get("message", "Unknown error")))
        if failure is not None:
            raise failure
    except Exception as e:
        parts.append(PROCESSING_ERROR + str(e)[:300])
    try:  # joining pieces that are not all str fails the message: the worker apologises
        return Outcome("reply", reply(*parts, actions=summaries, photos=screenshots), photos, screenshots)
    except Exception as e:
        return Outcome("apology", APOLOGY + str(e)[:500], photos, screenshots)


def reply(*lines, actions=(), photos=0):
    """The reply composed from the collected `lines` (texts, "⚠️ ..." error lines), the tool
    summaries `actions` ("🔧 tool.operation") and the number of photos delivered: every test's
    expected reply is built here."""
    text = "\n".join(lines).strip()
    if not text:
        text = DONE if actions or photos else NO_ANSWER
    if actions:
        listed = "\n".join(actions[:8])
        if len(actions) > 8:
            listed += f"\n... and {len(actions) - 8} more"
        text += "\n\n📋 Actions:\n" + listed
    return text
