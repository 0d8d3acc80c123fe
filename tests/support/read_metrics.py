#!/usr/bin/python3
"""Reads Prometheus' text format on standard input with prometheus_client's
own parser; prints each sample as `name{label="value"} number`, one a line,
in the order given. A text the parser refuses ends with status 1. Debian's
own interpreter: python3-prometheus-client installs for it."""
import sys

from prometheus_client.parser import text_string_to_metric_families

for family in text_string_to_metric_families(sys.stdin.read()):
    for sample in family.samples:
        labels = ",".join(f'{k}="{v}"' for k, v in sorted(sample.labels.items()))
        print(f"{sample.name}{{{labels}}} {sample.value:g}")
