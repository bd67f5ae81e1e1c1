"""The machine a benchmark ran on, for the first lines of its output: the
processor's model, the cores, the load and the interpreter. Output names no
path of the machine, so that it can be quoted as it stands."""
import os
import platform


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def describe():
    """One line: processor, cores, load average, Python."""
    return "cpu: %s, %s cores, load average %s; python %s (%s) on %s" % (
        cpu_model(), os.cpu_count(), " ".join("%.2f" % x for x in os.getloadavg()),
        platform.python_version(), platform.python_implementation(), platform.system())
