#!/usr/bin/env python3
"""Decodes Sparkplug B messages as a SCADA host would, independently of the
gateway's own encoder: Python's protobuf with sparkplug_b_pb2 compiled by
protoc from gateway/sparkplug/sparkplug_b.proto (its folder on PYTHONPATH).

Input lines: TOPIC RETAIN HEX (RETAIN 0 or 1, HEX the payload). Output: one
JSON object per line with the topic's parts, seq, and the metrics with their
values turned back into numbers by datatype.
With --encode: input lines {"metrics": [{"name"|"alias", "datatype", "value"}]}
(a command as a host sends it), output the payload as HEX."""
import json
import sys

import sparkplug_b_pb2 as pb

SIGNED = {1: 8, 2: 16, 3: 32, 4: 64}  # Int8..Int64: bits


def value_of(m):
    kind = m.WhichOneof("value")
    if kind is None:
        return None
    v = getattr(m, kind)
    if m.datatype in SIGNED and kind in ("int_value", "long_value"):
        bits = 32 if kind == "int_value" else 64
        if v >= 1 << (bits - 1):
            v -= 1 << bits
    return v


def encode():
    for line in sys.stdin:
        p = pb.Payload()
        for spec in json.loads(line)["metrics"]:
            m = p.metrics.add()
            if "name" in spec:
                m.name = spec["name"]
            if "alias" in spec:
                m.alias = spec["alias"]
            m.datatype = spec["datatype"]
            v = spec["value"]
            if m.datatype == 11:
                m.boolean_value = v
            elif m.datatype == 12:
                m.string_value = v
            elif m.datatype in (4, 8):
                m.long_value = v % (1 << 64)
            else:
                m.int_value = v % (1 << 32)
        print(p.SerializeToString().hex(), flush=True)


def main():
    for line in sys.stdin:
        parts = line.split()
        if len(parts) != 3:
            continue
        topic, retain, data = parts
        levels = topic.split("/")
        record = {"topic": topic, "retain": retain == "1"}
        if len(levels) >= 4 and levels[1] != "STATE":
            record.update(group=levels[1], type=levels[2], node=levels[3],
                          device=levels[4] if len(levels) > 4 else None)
            p = pb.Payload()
            try:
                p.ParseFromString(bytes.fromhex(data))
            except Exception as e:  # noqa: BLE001 - reported, the next line goes on
                record["error"] = str(e)
                print(json.dumps(record), flush=True)
                continue
            record["seq"] = p.seq if p.HasField("seq") else None
            record["timestamp"] = p.timestamp if p.HasField("timestamp") else None
            metrics = []
            for m in p.metrics:
                quality = None
                if m.HasField("properties"):
                    props = dict(zip(m.properties.keys, m.properties.values))
                    if "Quality" in props:
                        quality = props["Quality"].int_value
                metrics.append({
                    "name": m.name if m.HasField("name") else None,
                    "alias": m.alias if m.HasField("alias") else None,
                    "datatype": m.datatype if m.HasField("datatype") else None,
                    "is_null": m.is_null,
                    "value": value_of(m),
                    "quality": quality,
                    "timestamp": m.timestamp if m.HasField("timestamp") else None,
                    "historical": m.is_historical,
                })
            record["metrics"] = metrics
        print(json.dumps(record), flush=True)


if __name__ == "__main__":
    encode() if sys.argv[1:] == ["--encode"] else main()
