"""Measurement files as the veldrin tool writes them (docs/measurement-files.md):
a header, each sweep point as it completes (flushed), then a closing record.
CSV by default, JSON Lines for --json or a name ending in .json or .jsonl."""

import json
import math


def is_json_lines(path, json_requested):
    return bool(json_requested) or path.endswith(".json") or path.endswith(".jsonl")


def number(value):
    """The shortest text that reads back as the same double; "" when not finite."""
    value = float(value)
    return repr(value) if math.isfinite(value) else ""


def _json_value(value):
    value = float(value)
    return value if math.isfinite(value) else None


class MeasurementFile:
    """channels: the channel numbers in column order; dac1_volts per sample
    (sweeps), dac2_volts per point (2D sweep); point_starts: record each
    point's start in seconds since the measurement began (2D sweep)."""

    def __init__(self, stream, json_lines, channels, period_s, dac1_volts=(), dac2_volts=(), point_starts=False):
        self.stream, self.json_lines, self.channels, self.period_s = stream, json_lines, list(channels), period_s
        self.dac1_volts, self.dac2_volts, self.point_starts = list(dac1_volts), list(dac2_volts), point_starts
        self.points = 0
        self.rows = 0

    def _write(self, text):
        self.stream.write(text)
        self.stream.flush()

    def begin(self, metadata):
        if self.json_lines:
            samples = max(len(self.dac1_volts), metadata.get("samples_per_channel", 0))
            header = {"record": "measurement", "device": metadata.get("device", 0),
                      "serial": metadata.get("serial_number", ""), "generation": metadata.get("generation", 0),
                      "kind": metadata.get("kind", ""), "metadata": metadata,
                      "time_s": [k * self.period_s for k in range(samples)]}
            if self.dac1_volts:
                header["dac1_volts"] = self.dac1_volts
            self._write(json.dumps(header, separators=(",", ":")) + "\n")
            return
        lines = ["# %s: %s" % (key, value if isinstance(value, str) else json.dumps(value, separators=(",", ":")))
                 for key, value in metadata.items()]
        columns = ["point", "sample", "time_s"] + (["point_start_s"] if self.point_starts else [])
        columns += (["dac1_volts"] if self.dac1_volts else []) + (["dac2_volts"] if self.dac2_volts else [])
        columns += ["channel%d_volts" % channel for channel in self.channels]
        self._write("\n".join(lines + [",".join(columns)]) + "\n")

    def append_point(self, point, start_s, values):
        """values: {channel: volts} of this point; a missing value is an empty cell."""
        dac2 = self.dac2_volts[point] if point < len(self.dac2_volts) else None
        if self.json_lines:
            record = {"record": "point", "point": point}
            if self.point_starts:
                record["start_s"] = start_s
            if dac2 is not None:
                record["dac2_volts"] = dac2
            record["channels"] = {str(c): [_json_value(v) for v in values.get(c, [])] for c in self.channels}
            self._write(json.dumps(record, separators=(",", ":")) + "\n")
        else:
            columns = [[number(v) for v in values.get(c, [])] for c in self.channels]
            length = max((len(column) for column in columns), default=0)
            fixed = ([number(start_s)] if self.point_starts else [])
            lines = []
            for sample in range(length):
                cells = [str(point), str(sample), "%.9g" % (sample * self.period_s)] + fixed
                if self.dac1_volts:
                    cells.append(number(self.dac1_volts[sample]) if sample < len(self.dac1_volts) else "")
                if self.dac2_volts:
                    cells.append(number(dac2) if dac2 is not None else "")
                cells += [column[sample] if sample < len(column) else "" for column in columns]
                lines.append(",".join(cells))
            self._write("".join(line + "\n" for line in lines))
            self.rows += length
        self.points += 1

    def finish(self, complete):
        if self.json_lines:
            self._write(json.dumps({"record": "end", "complete": bool(complete), "points": self.points},
                                   separators=(",", ":")) + "\n")
        else:
            self._write("# complete: %s\n# points: %d\n" % ("true" if complete else "false", self.points))
