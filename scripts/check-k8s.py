#!/usr/bin/env python3
"""check-k8s.py [DIRECTORY]: the YAML of deploy/k8s (or of an operator's edited copy), its field
names against the API models of python3-kubernetes at every depth, and the names its objects
refer to each other by. No cluster.
Exits 77 (skipped) without PyYAML or the kubernetes module."""
import glob
import os
import re
import sys

try:
    import yaml
    from kubernetes import client
except ImportError:
    if os.path.exists("/usr/bin/python3") and sys.executable != "/usr/bin/python3":
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)  # Debian's python3-*
    print("SKIP: needs python3-yaml and python3-kubernetes", file=sys.stderr)
    sys.exit(77)


class Problem(Exception):
    pass


REFERENCES = {"configMap": ("ConfigMap", "name"), "secret": ("Secret", "secretName")}


def walk(value, typ, path):
    inner = re.fullmatch(r"list\[(.*)\]|dict\(str, (.*)\)", typ)
    model = getattr(client.models, typ, None)
    if value is None or typ == "object":
        return
    if (inner or model) and not isinstance(value, list if inner and inner[1] else dict):
        raise Problem(f"{path}: expected a {typ}")
    if inner:
        for key, item in value.items() if inner[2] else enumerate(value):
            walk(item, inner[1] or inner[2], f"{path}.{key}" if inner[2] else f"{path}[{key}]")
    elif model:
        fields = {name: attr for attr, name in model.attribute_map.items()}
        for key, item in value.items():
            if key not in fields:
                raise Problem(f"{path or 'top level'}: {typ} has no field {key!r}")
            walk(item, model.openapi_types[fields[key]], f"{path}.{key}".lstrip("."))
    elif isinstance(value, (dict, list)) or (typ == "bool") != isinstance(value, bool) or (
            typ == "int" and not isinstance(value, int)):
        raise Problem(f"{path}: expected a {typ}, not {value!r}")


def model_of(doc):
    """apps/v1 Deployment: V1Deployment, if AppsV1Api has create_namespaced_deployment."""
    group, _, version = str(doc.get("apiVersion")).rpartition("/")
    api = "".join(p.capitalize() for p in group.removesuffix(".k8s.io").split(".")) or "Core"
    api = getattr(client, api + version.capitalize() + "Api", None)
    kind = str(doc.get("kind"))
    if not hasattr(api, "create_namespaced_" + re.sub(r"(?<!^)([A-Z])", r"_\1", kind).lower()):
        raise Problem(f"no namespaced kind {kind!r} in {doc.get('apiVersion')!r}")
    return version.capitalize() + kind


def cross_check(docs):
    objects = list(docs.values())

    def named(kind, name):
        return next((o for o in objects if (o["kind"], o["metadata"]["name"]) == (kind, name)), {})

    def mounted(mounts, path, ref):
        """The text of a file in a container: the key of a mounted ConfigMap or Secret."""
        (kind, name_key), (folder, key) = REFERENCES[ref], os.path.split(path)
        data = named(kind, mounts.get(folder, {}).get(ref, {}).get(name_key))
        data = {**data.get("data", {}), **data.get("stringData", {})}
        if key not in data:
            raise Problem(f"{path} is no key of a {kind} mounted there")
        return data[key]

    def pod(spec, path):
        volumes = {v["name"]: v for v in spec.get("volumes", [])}
        for i, v in enumerate(volumes.values()):
            for ref, (kind, key) in REFERENCES.items():
                if ref in v and not named(kind, v[ref][key]):
                    raise Problem(f"{path}.volumes[{i}]: no {kind} {v[ref][key]!r} in the files")
        for i, c in enumerate(spec["containers"]):
            at = f"{path}.containers[{i}]"
            ports = [x for p in c.get("ports", []) for x in (p.get("name"), p["containerPort"])]
            for probe in ("readinessProbe", "livenessProbe", "startupProbe"):
                action = c.get(probe, {}).get("httpGet") or c.get(probe, {}).get("tcpSocket")
                if action and action["port"] not in ports:
                    raise Problem(f"{at}.{probe}: port {action['port']!r} is no container port")
            args = dict(zip(c.get("args", []), c.get("args", [])[1:]))
            if "--config" not in args:
                continue
            # korvane-web: its configuration file, the secret that names, the Redis Service.
            mounts = {m["mountPath"].rstrip("/"): volumes.get(m["name"], {})
                      for m in c.get("volumeMounts", [])}
            conf = mounted(mounts, args["--config"], "configMap")
            settings = dict(re.findall(r"^\s*(\w+)\s*=\s*(.*?)\s*$", conf.split("\n[")[0], re.M))
            mounted(mounts, settings.get("secret_file", "(none)"), "secret")
            host, _, port = str(args.get("--registry")).partition(":")
            if port not in [str(p["port"]) for p in named("Service", host).get("spec", {}).get(
                    "ports", [])]:
                raise Problem(f"{at}.args: --registry {host}:{port} is no Service in the files")

    for where, d in docs.items():
        try:
            spec = d.get("spec", {})
            if d["kind"] == "Deployment":
                if not spec["selector"]["matchLabels"].items() <= spec["template"]["metadata"][
                        "labels"].items():
                    raise Problem("spec.selector.matchLabels: not among the template's labels")
                pod(spec["template"]["spec"], "spec.template.spec")
            if d["kind"] == "Service" and not any(
                    spec["selector"].items() <= o["spec"]["template"]["metadata"]["labels"].items()
                    for o in objects if o["kind"] == "Deployment"):
                raise Problem(f"spec.selector: {spec['selector']} selects no pod template")
        except (KeyError, TypeError, AttributeError) as e:
            raise Problem(f"{where}: a field this check reads is missing or malformed: {e!r}")
        except Problem as p:
            raise Problem(f"{where}: {p}") from None


def check(directory):
    docs = {}
    for file in sorted(glob.glob(os.path.join(directory, "*.yaml"))):
        try:
            with open(file, encoding="utf-8") as f:
                loaded = list(yaml.safe_load_all(f))
        except yaml.YAMLError as e:
            raise Problem(f"{file}: not YAML: {e}")
        for number, doc in enumerate(loaded, 1):
            where = f"{os.path.basename(file)}: document {number}"
            try:
                walk(doc, model_of(doc if isinstance(doc, dict) else {}), "")
            except Problem as p:
                raise Problem(f"{where}: {p}") from None
            docs[f"{where} ({doc['kind']} {(doc.get('metadata') or {}).get('name')})"] = doc
    if not docs:
        raise Problem(f"no YAML document in {directory}")
    cross_check(docs)
    return len(docs)


try:
    count = check(sys.argv[1] if len(sys.argv) > 1 else
                  os.path.join(os.path.dirname(os.path.abspath(__file__)), "../deploy/k8s"))
except Problem as p:
    sys.exit(f"k8s check: {p}")
print(f"k8s check: {count} documents; field names and cross-references hold")
