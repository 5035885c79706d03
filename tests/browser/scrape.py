# Reads /metrics twice with the Prometheus client's own parser: every family
# has samples, no counter goes back, and the samples received grow.
#   python3 scrape.py BASE_URL
import sys
import time
import urllib.request

from prometheus_client.parser import text_string_to_metric_families


def scrape(base):
    text = urllib.request.urlopen(base + "/metrics", timeout=10).read().decode()
    return {f.name: f for f in text_string_to_metric_families(text)}


def counters(families):
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for f in families.values() if f.type == "counter" for s in f.samples}


first = scrape(sys.argv[1])
time.sleep(3)
second = scrape(sys.argv[1])
empty = [n for n, f in second.items() if not f.samples]
assert not empty, "families without samples: %s" % empty
before, after = counters(first), counters(second)
back = [k for k, v in before.items() if after.get(k, -1) < v]
assert not back, "counters that went back: %s" % back
grown = [k for k in after if k[0] == "veldrum_samples_received_total" and after[k] > before.get(k, 0)]
assert len(grown) == 2, "samples received did not grow on both channels: %s %s" % (before, after)
print("ok: %d families" % len(second))
