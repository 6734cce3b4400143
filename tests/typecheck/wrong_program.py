"""Mistakes that the stub lets mypy catch. Each line marked "# error: CODE"
must be reported with that error code, and no other line."""
from __future__ import annotations

import termloom

server = termloom.Server()
server.new_session(42)  # error: arg-type
pane = server.target_pane("work:0.0")
screen: str = pane.capture()  # error: assignment
pane.capture().splitlines()  # error: union-attr
pane.title = 5  # error: assignment
pane.pane_id = "%9"  # error: misc
pane.send_keys("ls", enter=1)  # error: arg-type
pane.resize("left", amount="10")  # error: arg-type
window = server.target_window("work:0")
window.next.kill()  # error: union-attr
count: int = server.sessions  # error: assignment
server.sessions[0].windows[0].panes[0].select()  # error: operator
termloom.Server().forget()  # error: attr-defined
