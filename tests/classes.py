"""Reaching the classes that the module does not publish, without a real tmux."""
import termloom

METADATA_LINE = "$0|work|100|1|80|24|3\n"


def session_and_metadata_types(fake_tmux):
    """Session and SessionMetadata, obtained through a scripted tmux."""
    fake_tmux.respond()  # new-session
    session = termloom.Server().new_session("work")
    fake_tmux.respond(stdout=METADATA_LINE)
    return type(session), type(session.metadata())
