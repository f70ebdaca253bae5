"""What the drill checks in every client's list, and the table it prints.

A message's identity is its text (senders number theirs), its place in the
room's one order is its position. The room's messages are every text any
client got, and every entry of the stream at the end.
"""

from drill_clients import parse_position


class Row:
    """One client's figures; `silent` counts what it lacks beyond its reports."""

    def __init__(self, record, room, since_resume):
        self.record = record
        texts = [text for _, text in record.got]
        self.messages = len(texts)
        self.duplicates = len(texts) - len(set(texts))
        order = [parse_position(p) for p, _ in record.got]
        self.out_of_order = sum(1 for a, b in zip(order, order[1:]) if b <= a)
        self.missing = len(room - set(texts))
        later = record.resumes[since_resume:]
        self.resumes = len(record.resumes)
        self.replayed = sum(r[2] for r in record.resumes)
        self.reported = sum(int(r[3]) for r in later if r[3].isdigit())
        self.unknown = sum(1 for r in later if r[3] == "?")
        self.silent = max(0, self.missing - self.reported)
        self.over_reported = max(0, self.reported - self.missing)


def room_messages(records, stream=()):
    """{text: {positions}} over every client's list and the stream."""
    positions = {}
    for record in records:
        for position, text in record.got:
            positions.setdefault(text, set()).add(position)
    for position, text in stream:
        positions.setdefault(text, set()).add(position)
    return positions


def since_first(ordered, record):
    """The texts of `ordered` ((position, text), in the room's order) from
    the record's first message on."""
    if not record.got:
        return {t for _, t in ordered}
    first = parse_position(record.got[0][0])
    return {t for p, t in ordered if p >= first}


def check_room(records, stream, confirmed):
    """The room drill: failures (empty when it passed) and the rows."""
    positions = room_messages(records, stream)
    room = set(positions)
    failures = []
    twice = sorted(t for t, p in positions.items() if len(p) > 1)
    if twice:
        failures.append(f"{len(twice)} messages at more than one position, e.g. {twice[:3]}")
    lost = confirmed - room
    if lost:
        failures.append(f"{len(lost)} messages their sender saw come back are in no list")
    # Each client's first "@RESUME" has no position: a newcomer, it gets the
    # history, and what came before that is none of its business.
    ordered = sorted((min(parse_position(p) for p in ps), t) for t, ps in positions.items())
    rows = [Row(r, since_first(ordered, r), 1) for r in records]
    for row in rows:
        r = row.record
        if row.duplicates or row.out_of_order or row.silent or row.over_reported or r.anomalies:
            failures.append(f"{r.name}: {row.duplicates} duplicates, {row.out_of_order} out of "
                            f"order, {row.missing} missing with {row.reported} reported missed, "
                            f"{r.anomalies[:3]}")
    return failures, rows


def check_lone(records, restart_resumes, epoch_after):
    """The lone drill: every client resumed across the restart was told "?",
    none got a message twice, and from its first message of the new server
    on, each got every one the new server relayed."""
    positions = room_messages(records)
    after = sorted((parse_position(p), t) for t, ps in positions.items() for p in ps
                   if parse_position(p)[0] == epoch_after)
    failures = []
    rows = []
    for record in records:
        mine = [(parse_position(p), t) for p, t in record.got
                if parse_position(p)[0] == epoch_after]
        since = after[after.index(mine[0]):] if mine else after
        row = Row(record, {t for _, t in since}, restart_resumes[record.name])
        rows.append(row)
        later = record.resumes[restart_resumes[record.name]:]
        across = [r for r in later if r[0] is not None and parse_position(r[0])[0] != epoch_after]
        if not across or any(r[3] != "?" for r in across):
            failures.append(f"{record.name}: resumes across the restart {across[:3]}")
        if row.duplicates or row.out_of_order or row.missing or record.anomalies:
            failures.append(f"{record.name}: {row.duplicates} duplicates, {row.out_of_order} out "
                            f"of order, {row.missing} of the new server's messages missing "
                            f"since its first, {record.anomalies[:3]}")
    return failures, rows


COLUMNS = ("client", "kind", "messages", "connections", "resumes", "replayed", "missed",
           "unknown", "missing", "silent", "dupes", "disorder")


LEGEND = """\
  replayed: frames its "@RESUMED" answers counted as replay; missed: what they
  reported missed as a number, unknown: how many said "?" (a first "@RESUME",
  with no position, counts in neither); missing: messages of the room since
  its first that it lacks; silent: missing beyond what was reported;
  dupes: messages it got more than once; disorder: positions not rising"""


def table(rows, every_client):
    """The table: one line per client (or only the failing ones), then a total
    per kind of client."""
    out = ["  ".join(f"{c:>11}" for c in COLUMNS)]

    def line(name, kind, rs):
        figures = (sum(r.messages for r in rs), sum(r.record.opens for r in rs),
                   sum(r.resumes for r in rs), sum(r.replayed for r in rs),
                   sum(r.reported for r in rs), sum(r.unknown for r in rs),
                   sum(r.missing for r in rs), sum(r.silent for r in rs),
                   sum(r.duplicates for r in rs), sum(r.out_of_order for r in rs))
        return "  ".join(f"{v:>11}" for v in (name, kind) + figures)

    for r in rows:
        bad = r.duplicates or r.out_of_order or r.silent or r.over_reported or r.record.anomalies
        if every_client or bad:
            out.append(line(r.record.name, r.record.kind, [r]))
    for kind in sorted({r.record.kind for r in rows}):
        rs = [r for r in rows if r.record.kind == kind]
        out.append(line(f"all {len(rs)}", kind, rs))
    out.append(LEGEND)
    return "\n".join(out)


def closes(records):
    """Why the connections of each kind of client ended, with counts."""
    out = []
    for kind in sorted({r.kind for r in records}):
        tally = {}
        for r in records:
            if r.kind == kind:
                for why, n in r.closes.items():
                    tally[why] = tally.get(why, 0) + n
        out.append(f"{kind} connections ended: "
                   + ", ".join(f"{why} x{n}" for why, n in sorted(tally.items())))
    return out
