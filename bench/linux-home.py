#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A Linux home for bench/linux-home-bench.sh, the same every time (fixed seed).

    linux-home.py HOME MACHINE APP_TABLE SCALE

HOME gets a Firefox and a Chromium profile (together 300 MB and 20,000 files at
scale 1: thousands of small storage files, some databases of several MB, the
caches the browsers rebuild), the data of 40 apps of APP_TABLE in the formats
MACHINE installs them in (.desktop files in MACHINE/share/applications, Flatpaks
deployed in MACHINE/flatpak, Snaps in MACHINE/snap), the desktop's own files and
two folders no app owns. HOME/../dconf-keys.ini gets 1,500 dconf keys for
`dconf load /`. Prints one JSON object: what was made.
"""
import json
import math
import os
import random
import sys

home, machine, table_path, scale = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
rng = random.Random(20261207)
POOL = rng.randbytes(1 << 22)
BROWSER_BYTES = int(300e6 * scale)
APP_BYTES = int(40e6 * scale)
APP_COUNT = 40
DCONF_KEYS = 1500


def n(count):
    """A count at this scale, never below one."""
    return max(1, round(count * scale))


def small_size(median=2500, cap=512 * 1024):
    return min(cap, int(rng.lognormvariate(math.log(median), 1.2)))


def pool_bytes(size):
    start = rng.randrange(0, len(POOL) - min(size, len(POOL)) + 1)
    out = POOL[start:start + size]
    while len(out) < size:
        out += POOL[:size - len(out)]
    return out


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def text_file(size, mentions_home):
    """Settings text of about `size` bytes; some lines name the home's own paths."""
    lines, total, i = [], 0, 0
    while total < size:
        if mentions_home and i % 7 == 3:
            line = f"recent{i}=file://{home}/Documents/report-{i}.odt\npath{i}={home}/Pictures/p{i}.png\n"
        else:
            line = f"option_{i}={rng.randrange(1 << 30):x} ; value {i}\n"
        lines.append(line)
        total += len(line)
        i += 1
    return "".join(lines).encode()[:max(size, 1)]


class Plan:
    """Files to write: (home-relative path, size, kind); `big` weights share what is left."""

    def __init__(self):
        self.files, self.big = [], []

    def small(self, path, size=None, kind="bin"):
        self.files.append([path, small_size() if size is None else size, kind])

    def database(self, path, weight):
        self.big.append([path, weight])

    def fill(self, target):
        left = max(0, target - sum(f[1] for f in self.files))
        weights = sum(w for _, w in self.big)
        for path, w in self.big:
            self.files.append([path, int(left * w / weights), "bin"])


def leveldb(plan, folder, tables=0):
    for name, size in (("CURRENT", 16), ("LOCK", 0), ("LOG", 400), ("LOG.old", 380), ("MANIFEST-000001", 120)):
        plan.small(f"{folder}/{name}", size)
    plan.small(f"{folder}/000003.log")
    for t in range(tables):
        plan.small(f"{folder}/{5 + t:06d}.ldb", small_size(median=12000))


def firefox(plan):
    root = ".mozilla/firefox"
    p = f"{root}/x7k2q9ab.default-release"
    plan.small(f"{root}/profiles.ini", kind="profiles")
    plan.small(f"{root}/installs.ini", kind="installs")
    for name in ("prefs.js", "times.json", "compatibility.ini", "xulstore.json", "handlers.json", "extensions.json",
                 "addons.json", "containers.json", "logins.json", "search.json.mozlz4", "sessionCheckpoints.json",
                 "addonStartup.json.lz4", "pkcs11.txt", "SiteSecurityServiceState.bin", "broadcast-listeners.json"):
        plan.small(f"{p}/{name}")
    plan.small(f"{p}/.parentlock", 0)  # a running profile's lock: never travels
    for name, weight in (("places.sqlite", 30), ("places.sqlite-wal", 3), ("favicons.sqlite", 10),
                         ("favicons.sqlite-wal", 1), ("cookies.sqlite", 3), ("webappsstore.sqlite", 4),
                         ("formhistory.sqlite", 1), ("permissions.sqlite", 0.2), ("content-prefs.sqlite", 0.2),
                         ("storage.sqlite", 0.1), ("key4.db", 0.3), ("cert9.db", 0.3), ("sessionstore.jsonlz4", 2),
                         ("sessionstore-backups/recovery.jsonlz4", 2), ("sessionstore-backups/recovery.baklz4", 2)):
        plan.database(f"{p}/{name}", weight)
    for i in range(12):
        plan.database(f"{p}/extensions/addon{i}@example.org.xpi", 1 + i % 4)
    for i in range(15):
        plan.small(f"{p}/bookmarkbackups/bookmarks-2026-11-{i + 1:02d}.jsonlz4", small_size(median=150000))
    for i in range(n(1900)):
        origin = f"{p}/storage/default/https+++site{i}.example.com"
        plan.small(f"{origin}/.metadata-v2", 90)
        plan.small(f"{origin}/idb/{rng.randrange(1 << 32):08x}ssoeo.sqlite", small_size(median=9000))
        plan.small(f"{origin}/ls/data.sqlite", small_size(median=3000))
        plan.small(f"{origin}/ls/usage", 12)
    for i in range(40):
        plan.small(f"{p}/datareporting/glean/db/data.safe.{i}.bin")
    # Rebuilt by the browser: counted by du, never sent.
    for name in ("startupCache.8.little", "scriptCache-current.bin", "urlCache-current.bin"):
        plan.small(f"{p}/startupCache/{name}", small_size(median=400000, cap=8 << 20))
    for i in range(n(300)):
        plan.small(f"{p}/thumbnails/{rng.randrange(1 << 64):016x}.png", small_size(median=20000))


def chromium(plan):
    root = ".config/chromium"
    d = f"{root}/Default"
    for name in ("Local State", "First Run", "Last Version", "Variations"):
        plan.small(f"{root}/{name}")
    for name in ("Preferences", "Secure Preferences", "Bookmarks", "TransportSecurity", "Reporting and NEL",
                 "Trust Tokens", "Affiliation Database", "History-journal", "Cookies-journal", "Login Data-journal",
                 "Web Data-journal", "Favicons-journal", "Network Persistent State", "Extension Cookies"):
        plan.small(f"{d}/{name}")
    for name, weight in (("History", 35), ("Favicons", 12), ("Web Data", 4), ("Cookies", 3), ("Login Data", 0.3),
                         ("Top Sites", 0.5), ("Visited Links", 0.5), ("Network Action Predictor", 2),
                         ("Shortcuts", 0.5), ("Current Session", 1), ("Last Session", 1), ("Current Tabs", 0.5)):
        plan.database(f"{d}/{name}", weight)
    extensions = [''.join(rng.choice("abcdefghijklmnop") for _ in range(32)) for _ in range(n(28))]
    for ext in extensions:
        base = f"{d}/Extensions/{ext}/1.{rng.randrange(40)}.{rng.randrange(9)}_0"
        plan.small(f"{base}/manifest.json")
        for lang in ("en", "de", "fr", "es", "it", "ja", "pt_BR", "ru", "zh_CN", "nl"):
            plan.small(f"{base}/_locales/{lang}/messages.json")
        for j in range(rng.randrange(60, 160)):
            folder = rng.choice(("js", "css", "images", "html", "lib"))
            suffix = "png" if folder == "images" else folder
            plan.small(f"{base}/{folder}/f{j}.{suffix}", small_size(median=4000))
        leveldb(plan, f"{d}/Local Extension Settings/{ext}")
    for i in range(n(900)):
        leveldb(plan, f"{d}/IndexedDB/https_site{i}.example.org_0.indexeddb.leveldb", tables=rng.randrange(0, 3))
    for folder in ("Local Storage/leveldb", "Session Storage", "Sync Data/LevelDB", "Service Worker/Database",
                   "shared_proto_db", "Site Characteristics Database"):
        leveldb(plan, f"{d}/{folder}", tables=1)
    # Rebuilt by the browser: counted by du, never sent.
    for i in range(n(600)):
        plan.small(f"{d}/Service Worker/ScriptCache/{rng.randrange(1 << 64):016x}_0", small_size(median=8000))
    for i in range(n(400)):
        plan.small(f"{d}/Service Worker/CacheStorage/{rng.randrange(1 << 64):016x}/{i}_0")
    for i in range(n(800)):
        plan.small(f"{d}/Code Cache/js/{rng.randrange(1 << 64):016x}_0", small_size(median=6000))
    for name in ("data_0", "data_1", "data_2", "data_3", "index"):
        plan.small(f"{d}/GPUCache/{name}", small_size(median=40000))


def flatpak_place(native, flatpak_id):
    for prefix, inside in ((".config/", "config/"), (".local/share/", "data/")):
        if native.startswith(prefix):
            return f".var/app/{flatpak_id}/{inside}{native[len(prefix):]}"
    return f".var/app/{flatpak_id}/{native}"


def install(app, fmt):
    """What the machine has installed; returns the Snap's revision folder."""
    if fmt == "native":
        program = app["desktopIds"][0].split(".")[-1].lower()
        write(f"{machine}/share/applications/{app['desktopIds'][0]}.desktop",
              f"[Desktop Entry]\nType=Application\nName={app['name']}\nExec={program} %U\n".encode())
    elif fmt == "flatpak":
        fid = app["flatpak"]
        os.makedirs(f"{machine}/flatpak/app/{fid}/x86_64/stable/active/files", exist_ok=True)
        os.symlink("x86_64/stable", f"{machine}/flatpak/app/{fid}/current")
        write(f"{machine}/flatpak/exports/share/applications/{fid}.desktop",
              f"[Desktop Entry]\nType=Application\nName={app['name']}\nExec=/usr/bin/flatpak run {fid}\n".encode())
    else:
        os.makedirs(f"{machine}/snap/{app['snap']}/2406", exist_ok=True)
        os.symlink("2406", f"{machine}/snap/{app['snap']}/current")
        return "2406"
    return None


def apps(plan):
    table = [a for a in json.load(open(table_path))["applications"] if not a.get("browser")][:APP_COUNT]
    formats = {}
    weights = [rng.lognormvariate(0, 1.3) for _ in table]
    for i, app in enumerate(table):
        fmt = "native"
        if i % 5 == 1 and app.get("flatpak"):
            fmt = "flatpak"
        elif i % 7 == 3 and app.get("snap"):
            fmt = "snap"
        revision = install(app, fmt)
        formats[app["desktopIds"][0]] = fmt
        share = APP_BYTES * weights[i] / sum(weights)
        count = max(2, round(share / 12000))
        for native in app["paths"]:
            if fmt == "flatpak":
                place = flatpak_place(native, app["flatpak"])
            elif fmt == "snap":
                base = "common" if app.get("snapBase") == "common" else revision
                place = f"snap/{app['snap']}/{base}/{native}"
            else:
                place = native
            last = native.rsplit("/", 1)[-1]
            if last.endswith(("rc", ".conf")):  # a single settings file
                plan.small(place, small_size(median=3000), kind="text-home")
                continue
            for j in range(max(1, count // len(app["paths"]))):
                depth = "/".join(f"d{(j >> (3 * k)) % 8}" for k in range(j % 3))
                name = f"{depth}/f{j}" if depth else f"f{j}"
                if j % 10 < 6:
                    plan.small(f"{place}/{name}.conf", small_size(median=2500, cap=256 * 1024),
                               kind="text-home" if j % 5 == 0 else "text")
                else:
                    plan.small(f"{place}/{name}.db", small_size(median=20000, cap=8 << 20))
        if fmt == "flatpak":  # rebuilt by the app: never sent
            for j in range(20):
                plan.small(f".var/app/{app['flatpak']}/cache/c{j}")
        if fmt == "snap":
            for j in range(20):
                plan.small(f"snap/{app['snap']}/{revision}/.cache/c{j}")
    # Folders no installed app owns: listed, not sent.
    for j in range(30):
        plan.small(f".config/some-old-tool/state{j}.json")
        plan.small(f".local/share/removed-game/save{j}.dat")
    return formats


def desktop(plan):
    plan.small(".config/mimeapps.list", 900, kind="text-home")
    plan.small(".config/gtk-3.0/bookmarks", 300, kind="text-home")
    plan.small(".config/gtk-3.0/settings.ini", 200, kind="text")
    for name in ("syncthing", "nextcloud", "redshift"):
        write(f"{home}/.config/autostart/{name}.desktop",
              f"[Desktop Entry]\nType=Application\nName={name}\nExec={name} --minimized\n".encode())
    for i in range(6):
        plan.small(f".local/share/fonts/Family{i}-Regular.ttf", small_size(median=200000, cap=1 << 20))
    for i in range(n(400)):
        plan.small(f".local/share/icons/Papirus-custom/{16 << (i % 4)}x{16 << (i % 4)}/apps/app{i}.png", 700)


def dconf_keys(path):
    """1,500 typed keys in 150 folders; a few name the home, a few are bound to this machine."""
    types = [lambda i: "true" if i % 2 else "false", lambda i: str(i * 7), lambda i: f"uint32 {i}",
             lambda i: f"'value {i}'", lambda i: f"{i / 8:.3f}", lambda i: f"['a{i}', 'b{i}']",
             lambda i: f"({i}, {i + 1})", lambda i: "@as []", lambda i: f"int64 {i << 20}",
             lambda i: f"'file://{home}/Pictures/Wallpapers/w{i}.jpg'"]
    denied = ["window-size", "last-check-timestamp", "window-maximized", "geometry"]
    out, made = [], 0
    for g in range(DCONF_KEYS // 10):
        folder = (f"org/gnome/desktop/remote-desktop/rdp{g}" if g % 50 == 7 else
                  f"org/gnome/{['desktop/interface', 'shell/extensions', 'nautilus', 'settings-daemon/plugins', 'apps'][g % 5]}/g{g}")
        out.append(f"[{folder}]")
        for k in range(10):
            i = g * 10 + k
            name = denied[i % 4] if i % 97 == 5 else f"key-{i}"
            out.append(f"{name}={types[i % len(types)](i)}")
            made += 1
        out.append("")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")
    return made


def write_plan(plan):
    files = nbytes = 0
    for path, size, kind in plan.files:
        full = f"{home}/{path}"
        if kind == "profiles":
            data = (b"[Install4F96D1932A9F858E]\nDefault=x7k2q9ab.default-release\nLocked=1\n\n"
                    b"[Profile0]\nName=default-release\nIsRelative=1\nPath=x7k2q9ab.default-release\nDefault=1\n\n"
                    b"[General]\nStartWithLastProfile=1\nVersion=2\n")
        elif kind == "installs":
            data = b"[4F96D1932A9F858E]\nDefault=x7k2q9ab.default-release\nLocked=1\n"
        elif kind.startswith("text"):
            data = text_file(size, kind == "text-home")
        else:
            data = pool_bytes(size)
        write(full, data)
        files += 1
        nbytes += len(data)
    return files, nbytes


def main():
    browsers = Plan()
    firefox(browsers)
    chromium(browsers)
    browsers.fill(BROWSER_BYTES)
    b_files, b_bytes = write_plan(browsers)
    others = Plan()
    formats = apps(others)
    desktop(others)
    a_files, a_bytes = write_plan(others)
    keys = dconf_keys(os.path.join(os.path.dirname(home.rstrip("/")), "dconf-keys.ini"))
    counts = {f: list(formats.values()).count(f) for f in ("native", "flatpak", "snap")}
    print(json.dumps({"browserFiles": b_files, "browserBytes": b_bytes, "otherFiles": a_files, "otherBytes": a_bytes,
                      "apps": len(formats), "appFormats": counts, "dconfKeys": keys}))


main()
