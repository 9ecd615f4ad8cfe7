# SPDX-License-Identifier: GPL-2.0-or-later
"""The floors a check's wall time is measured against, from the entries' own times (their
elapsed_ms in a run at --jobs 1) and the hosts they are on.

- `simple`: the longer of one time-out (when any entry stalls) and the sum of the own times over
  the slots the host limits allow. Every checker honouring the time-out and the per-host cap
  takes at least this long, but it is not reachable when the entries do not divide evenly
  over the slots: 25 entries of 0.1 s on a host with 4 slots take 7 rounds, 0.7 s, not 0.625 s.
- `bound`: `simple` raised by what the slots' whole rounds force, per host and over all: when
  k * slots + 1 entries each take at least t, one slot runs k + 1 of them, so k + 1 times t.
  Still a floor no checker can beat.
- `in_order`: the time of a checker with no overhead at all that starts the entries in the
  list's order, each as soon as a slot and its host allow. No checker learns that an entry
  stalls before it has started it, so a list whose stalls come late cannot end sooner than
  when the last of them starts, plus the time-out; `simple` assumes every stall started at 0.
  Morvek's time over this is the engine's own overhead (with the program's start-up).
"""
import heapq


def _rounds_bound(times, slots):
    """max over k of (k + 1) * the (k * slots + 1)-th longest time: whole rounds on slots."""
    ordered = sorted(times, reverse=True)
    best = 0.0
    k = 0
    while k * slots < len(ordered):
        best = max(best, (k + 1) * ordered[k * slots])
        k += 1
    return best


def floors(entries, jobs, per_host, timeout=None):
    """entries: (host, own seconds, stalls) in list order; {"simple", "bound", "in_order"}."""
    times = [seconds for _, seconds, _ in entries]
    hosts = {}
    for host, seconds, _ in entries:
        hosts.setdefault(host, []).append(seconds)
    slots = min(jobs, len(hosts) * per_host)
    stalls = timeout if timeout and any(stall for _, _, stall in entries) else 0
    simple = max(stalls, sum(times) / slots)
    bound = max([simple, _rounds_bound(times, jobs)] +
                [max(sum(own) / min(per_host, jobs), _rounds_bound(own, min(per_host, jobs)))
                 for own in hosts.values()])
    return {"simple": simple, "bound": bound, "in_order": in_order(entries, jobs, per_host)}


def in_order(entries, jobs, per_host):
    """The end of a list schedule: when a slot frees, the first waiting entry whose host has
    room starts."""
    waiting = list(entries)
    running = []  # (end, host)
    open_per_host = {}
    now = 0.0
    end = 0.0
    while waiting or running:
        started = True
        while started and len(running) < jobs:
            started = False
            for i, (host, seconds, _) in enumerate(waiting):
                if open_per_host.get(host, 0) < per_host:
                    heapq.heappush(running, (now + seconds, host))
                    open_per_host[host] = open_per_host.get(host, 0) + 1
                    del waiting[i]
                    started = True
                    break
        now, host = heapq.heappop(running)
        open_per_host[host] -= 1
        end = max(end, now)
    return end


def floor_text(seconds, floor):
    return "floor %.2f s (as the sum over the slots %.2f s, in list order %.2f s)  ratio %.2f (target 1.15), " \
           "%.2f over the in-order schedule" % (floor["bound"], floor["simple"], floor["in_order"],
                                                seconds / floor["bound"], seconds / floor["in_order"])
