#!/usr/bin/env python3
"""Holds the tree to its include direction: every quoted #include of the
code (tests excepted) must point into a room its own room may use.

  service   -> frame, directory, policydb, qcrypt, misc
  frame     -> policydb, qcrypt, misc, and directory/directory.h (manager login)
  directory -> frame/server.h, frame/log.h, frame/codes.h
  top       -> every room of the server module (apps/quensc/*.cpp)
  policydb  -> qcrypt;  qcrypt, misc -> nothing above them
  config    -> policydb, qcrypt, misc, and the shared configuration file code
  fuzz      -> every room of the server module, like its tests
The host contract apps/quensc/host.h may be included by the server module's
rooms and by mod_quensc. Prints each offending line and exits 1; exits 0 when
the tree keeps the direction."""
import os
import re
import sys

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), '..'))
INCLUDE_DIRS = ['apps/quensc', 'apps/lib/policydb/include', 'apps/lib/policydb',
                'apps/lib/qcrypt', 'lib/misc', 'apps/quensc-config']

ROOMS = [  # (room, folder prefix), most specific first
    ('frame', 'apps/quensc/frame/'), ('service', 'apps/quensc/service/'),
    ('directory', 'apps/quensc/directory/'), ('top', 'apps/quensc/'),
    ('policydb', 'apps/lib/policydb/'), ('qcrypt', 'apps/lib/qcrypt/'), ('misc', 'lib/misc/'),
    ('mod_quensc', 'apps/mod_quensc/'), ('quenscd', 'apps/quenscd/'),
    ('quensc-db', 'apps/quensc-db/'), ('config', 'apps/quensc-config/'), ('bench', 'bench/'),
    ('fuzz', 'fuzz/'),
]
HOST = 'apps/quensc/host.h'
ALLOWED = {
    'top': {'top', 'frame', 'service', 'directory', 'policydb', 'qcrypt', 'misc'},
    'service': {'service', 'frame', 'directory', 'policydb', 'qcrypt', 'misc', HOST},
    'frame': {'frame', 'policydb', 'qcrypt', 'misc', HOST, 'apps/quensc/directory/directory.h'},
    'directory': {'directory', HOST, 'apps/quensc/frame/server.h', 'apps/quensc/frame/log.h',
                  'apps/quensc/frame/codes.h'},
    'policydb': {'policydb', 'qcrypt'},
    'qcrypt': {'qcrypt'},
    'misc': {'misc'},
    'mod_quensc': {'mod_quensc', HOST},
    'quenscd': {'quenscd'},
    'quensc-db': {'quensc-db', 'policydb', 'qcrypt'},
    'config': {'config', 'policydb', 'qcrypt', 'misc', 'apps/quensc/frame/configFile.h'},
    'bench': {'bench', 'policydb', 'qcrypt'},
    # The fuzz targets drive the server module from outside, as its tests do.
    'fuzz': {'fuzz', 'top', 'frame', 'service', 'directory', 'policydb', 'qcrypt', 'misc', HOST},
}


def room_of(path):
    for room, prefix in ROOMS:
        if path.startswith(prefix):
            return room
    return None


def resolve(including, name):
    for base in [os.path.dirname(including)] + INCLUDE_DIRS:
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(os.path.join(TOP, candidate)):
            return candidate
    return None


def main():
    bad = []
    for root, dirs, files in os.walk(TOP):
        rel_root = os.path.relpath(root, TOP)
        dirs[:] = [d for d in dirs if not d.startswith(('.', 'build')) and d not in ('test', 'node_modules')]
        for f in files:
            if not f.endswith(('.cpp', '.h')):
                continue
            path = os.path.normpath(os.path.join(rel_root, f))
            room = room_of(path)
            if room is None:
                continue
            with open(os.path.join(TOP, path), encoding='utf-8') as src:
                for number, line in enumerate(src, 1):
                    m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                    if not m:
                        continue
                    target = resolve(path, m.group(1))
                    if target is None:
                        bad.append('%s:%d: cannot resolve "%s"' % (path, number, m.group(1)))
                        continue
                    allowed = ALLOWED[room]
                    if room_of(target) in allowed or target in allowed:
                        continue
                    bad.append('%s:%d: %s includes "%s" (%s), against the include direction'
                               % (path, number, room, m.group(1), room_of(target)))
    for line in bad:
        print(line)
    return 1 if bad else 0


if __name__ == '__main__':
    sys.exit(main())
