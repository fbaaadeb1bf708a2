"""The bridge's worker, message handling and reply written as plain `async def` code: the twin
that collection tests compare the compiled bridge with. It awaits the host at the same points
and holds the same objects across those awaits; its texts are not checked."""

import asyncio
import logging
import sys

logger = logging.getLogger("twin_bridge")


class TwinBridge:
    def __init__(self):
        self._running = False
        self._processing = False
        self._queue = asyncio.Queue()
        self._worker_task = None

    def _get_telegram(self):
        manager = sys.modules["kavori.gateway.server"].get_state().get("connector_manager")
        return manager.get("telegram")

    def _get_agent(self):
        return sys.modules["kavori.gateway.server"].get_state().get("agent")

    async def start(self):
        telegram = self._get_telegram()
        telegram.set_message_handler(self._on_telegram_message)
        await telegram.start()
        self._running = True
        self._worker_task = asyncio.create_task(self._process_queue())

    async def stop(self):
        self._running = False
        if self._worker_task and not self._worker_task.done():
            self._worker_task.cancel()
            try:
                await self._worker_task
            except asyncio.CancelledError:
                pass
        self._worker_task = None
        telegram = self._get_telegram()
        if telegram:
            await telegram.stop()

    async def _on_telegram_message(self, text, metadata):
        await self._queue.put((text, metadata))

    async def _process_queue(self):
        own_loop = asyncio.get_running_loop()
        delay = 0.1
        while self._running:
            taken = False
            try:
                try:
                    text, metadata = await asyncio.wait_for(self._queue.get(), timeout=2.0)
                except TimeoutError:
                    delay = 0.1
                    continue
                except asyncio.CancelledError:
                    break
                taken, delay = True, 0.1
                try:
                    self._processing = True
                    await self._handle_message(text, metadata)
                except Exception as e:
                    logger.exception(f"Error processing Telegram message: {e}")
                    await self._send_reply(f"⚠️ Sorry, I encountered an error:\n{str(e)[:500]}", metadata)
                finally:
                    self._processing = False
            except Exception as e:
                if own_loop.is_closed():
                    break
                logger.error(f"Queue processor error: {e}")
                pause = 0 if taken else delay
                if not taken:
                    delay = min(delay * 2, 2.0)
                try:
                    await asyncio.sleep(pause)
                except asyncio.CancelledError:
                    break

    async def _handle_message(self, text, metadata):
        agent = self._get_agent()
        telegram = self._get_telegram()
        chat_id = metadata.get("chat_id")
        await telegram.send_typing(chat_id=chat_id)
        try:
            from kavori.gateway.ws import manager

            await manager.broadcast({"type": "telegram_message", "content": text, "source": "telegram"})
        except Exception as e:
            logger.debug(f"Could not broadcast to WebSocket: {e}")
        parts = []
        try:
            async for event in agent.process_message(text):
                try:
                    await manager.broadcast(event.to_dict())
                except Exception:
                    pass
                if event.type == "text":
                    parts.append(event.data.get("content"))
                elif event.type == "tool_call":
                    await telegram.send_typing(chat_id=chat_id)
        except Exception as e:
            logger.exception("Agent processing failed for Telegram message")
            parts.append(f"⚠️ Processing error: {str(e)[:300]}")
        await self._send_reply("\n".join(map(str, parts)), metadata)

    async def _send_reply(self, text, metadata):
        telegram = self._get_telegram()
        await telegram.send_message(text, chat_id=metadata.get("chat_id"), parse_mode="")
