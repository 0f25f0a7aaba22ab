"""The Python half of bench_python_listing: lists folder FOLDER (N messages)
through the module `vorn` REPEATS times and prints one line,
"python <best processor seconds> <best wall seconds> <messages> <characters>".

    python_listing.py N FOLDER REPEATS
"""
import sys
import time

import vorn


def main(count, folder, repeats):
    best_cpu = best_wall = float("inf")
    chars = 0
    with vorn.Dispatch("VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1") as c:
        if not c.InitControl():
            sys.exit("InitControl failed")
        for _ in range(repeats):
            cpu, wall = time.thread_time(), time.perf_counter()
            if not c.SetFolder(folder) or c.GetMessageCount() != count:
                sys.exit(f"the folder does not hold {count} messages")
            chars = 0
            for i in range(count):
                chars += (len(c.GetMessageSubject(i)) + len(c.GetMessageDisplayFrom(i)) +
                          len(c.GetMessageSentTime(i)))
            best_cpu = min(best_cpu, time.thread_time() - cpu)
            best_wall = min(best_wall, time.perf_counter() - wall)
    print(f"python {best_cpu:.4f} {best_wall:.4f} {count} {chars}")


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]))
