"""A Dataset-style class over a JSON Lines file, used from a spawned process pool.

Each worker gets the dataset pickled: the index travels as its file's path and
its saved form (or the path of the saved index it was loaded from), not as the
records, and each record is read from the file when it is asked for. Run it
with the Python that has line_reader installed; it writes its own sample file.

    python examples/jsonl_dataset.py [FILE.jsonl]
"""

import json
import multiprocessing
import os
import sys
import tempfile

import line_reader


class JsonLinesDataset:
    """Record i of a JSON Lines file, as a training loop's Dataset reads it."""

    def __init__(self, path):
        self.index = line_reader.FileIndex.build(path)

    def __len__(self):
        return len(self.index)

    def __getitem__(self, i):
        return json.loads(self.index[i])

    def batch(self, indices):
        """Many records in one call: read in file order, nearby reads joined."""
        return [json.loads(line) for line in self.index.lines(indices)]


def total_of(dataset, first, stop):
    """What a worker does with its share: here, add up a field."""
    return sum(record["value"] for record in dataset.batch(range(first, stop)))


def main():
    folder = None
    if len(sys.argv) > 1:
        path = sys.argv[1]
    else:
        folder = tempfile.TemporaryDirectory()
        path = os.path.join(folder.name, "records.jsonl")
        with open(path, "w") as out:
            for i in range(100_000):
                out.write(json.dumps({"id": i, "value": i % 7, "text": "record %d" % i}) + "\n")
    dataset = JsonLinesDataset(path)
    parts = dataset.index.split(4)
    with multiprocessing.get_context("spawn").Pool(4) as pool:
        totals = pool.starmap(total_of, [(dataset, first, stop) for first, stop, _, _ in parts])
    expected = sum(json.loads(line)["value"] for line in open(path, "rb"))
    print(f"{len(dataset)} records in {len(parts)} parts, total {sum(totals)} (expected {expected})")
    sample = dataset.batch(dataset.index.sample(3, seed=1))
    print("a sample:", [record["id"] for record in sample])
    if sum(totals) != expected:
        sys.exit(1)


if __name__ == "__main__":
    main()
