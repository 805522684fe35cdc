"""The black-box tests' view of the shared installation harness
(tests/harness/quensc_install.py): a scratch installation under /tmp,
started through quenscd on free loopback ports, ready when SessionOpen
answers, and always stopped again."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))

from quensc_install import (ADMIN_PASSWORD, BUILD, HELPDESK_PASSWORD, Installation,  # noqa: E402,F401
                            free_port, password_hash)
