#!/usr/bin/python3
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later
"""Ansible module: the kernel's signature control settings in digsig_initramfs.conf."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: digsig_settings
short_description: Set the kernel's signature control in /etc/digsig/digsig_initramfs.conf
description:
  - Sets executable-file control, extended-attribute control and the verify mode the way the
    settings module's privileged helper does. Lines of the changed keys get their new value, keys
    the file lacks are appended, comments and all other lines stay as they are; a malformed line
    that still names a changed key is commented out, so that nothing else reads it.
  - The file is replaced atomically (a temporary file beside it, synced, then renamed) and keeps
    its mode and owner. No link is followed below I(root).
  - Supports check mode and diff mode.
options:
  root:
    description: The host's root directory, or the root of an image or chroot.
    type: path
    default: /
  elf_mode:
    description:
      - Control of signatures inside ELF files. YAML reads an unquoted C(on) or C(off) as a
        boolean; C(true) and C(false) are taken as C(on) and C(off).
    type: raw
    choices: ["off", "debug", "on"]
  xattr_mode:
    description: Control of signatures in extended attributes, like I(elf_mode).
    type: raw
    choices: ["off", "debug", "on"]
  verify_mode:
    description:
      - Which signatures the kernel looks at. It can be set only while executable-file control
        is not C(off).
    type: str
    choices: [ONLY_ELF, ONLY_XATTR, FALLBACK, ANY, ALL]
author: Orlis KCM Developers
"""

EXAMPLES = r"""
- name: Warn only, everywhere
  orlis.digsig.digsig_settings:
    elf_mode: debug
    xattr_mode: debug

- name: Enforce inside an image
  orlis.digsig.digsig_settings:
    root: /srv/images/desk
    elf_mode: on
    verify_mode: FALLBACK
"""

RETURN = r"""
settings:
  description: The settings after the run (in check mode, as they would be).
  returned: success
  type: dict
  sample: {"elf_mode": "on", "xattr_mode": "debug", "verify_mode": "FALLBACK"}
previous:
  description: The settings before the run; a missing or unknown value is null.
  returned: success
  type: dict
"""

import binascii
import os
import re
import stat

from ansible.module_utils.basic import AnsibleModule

CONTROL_VALUES = {"off": "0", "on": "1", "debug": "2"}
VERIFY_VALUES = {"ONLY_ELF": "0", "ONLY_XATTR": "1", "FALLBACK": "2", "ANY": "3", "ALL": "4"}
KEYS = {
    "elf_mode": ("DIGSIG_ELF_MODE", CONTROL_VALUES),
    "xattr_mode": ("DIGSIG_XATTR_MODE", CONTROL_VALUES),
    "verify_mode": ("DIGSIG_ELF_VERIFICATION_MODE", VERIFY_VALUES),
}
SPACE = r"[ \t\n\r\f\v]"
SETTING_RULE = re.compile(r"^%s*(?P<key>[_A-Z0-9]+)=(?P<value>[0-9]+)%s*$" % (SPACE, SPACE))
NAMED_KEY = re.compile(r"^%s*(?P<key>[^= \t\n\r\f\v#]+)%s*=" % (SPACE, SPACE))
CONFIG_DIR = ("etc", "digsig")
CONFIG_NAME = "digsig_initramfs.conf"
MAX_CONFIG_BYTES = 1024 * 1024


class SettingsFileError(Exception):
    pass


def open_config_dir(root):
    """The directory holding the file, opened component by component without following links."""
    if not os.path.isabs(root):
        raise SettingsFileError("root must be an absolute path: %s" % root)
    directory = root
    try:
        descriptor = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
        for name in CONFIG_DIR:
            directory = os.path.join(directory, name)
            following = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=descriptor)
            os.close(descriptor)
            descriptor = following
    except OSError as error:
        if directory != root:
            os.close(descriptor)
        raise SettingsFileError("cannot open %s without following links: %s" % (directory, error.strerror))
    return descriptor


def read_config(dir_fd, path):
    try:
        descriptor = os.open(CONFIG_NAME, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=dir_fd)
    except OSError as error:
        raise SettingsFileError("cannot open %s without following links: %s" % (path, error.strerror))
    with os.fdopen(descriptor, "rb") as config:
        status = os.fstat(config.fileno())
        if not stat.S_ISREG(status.st_mode):
            raise SettingsFileError("%s is not a regular file" % path)
        content = config.read(MAX_CONFIG_BYTES + 1)
    if len(content) > MAX_CONFIG_BYTES:
        raise SettingsFileError("%s is larger than %d bytes" % (path, MAX_CONFIG_BYTES))
    try:
        return content.decode("utf-8"), status
    except UnicodeDecodeError:
        raise SettingsFileError("%s is not UTF-8 text" % path)


def current_values(text):
    """Key to value text as the module reads the file: the last well-formed line wins."""
    values = {}
    for line in text.split("\n"):
        setting = SETTING_RULE.match(line)
        if setting:
            values[setting.group("key")] = setting.group("value")
    return values


def merged_settings(text, new_values):
    """The file with @new_values (key to digits) written in; everything else kept."""
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    written = set()
    merged = []
    for line in lines:
        setting = SETTING_RULE.match(line)
        if setting:
            key = setting.group("key")
            if key in new_values:
                merged.append("%s=%s" % (key, new_values[key]))
                written.add(key)
                continue
        else:
            named = NAMED_KEY.match(line)
            if named and named.group("key") in new_values:
                merged.append("#" + line)
                continue
        merged.append(line)
    merged.extend("%s=%s" % (key, value) for key, value in new_values.items() if key not in written)
    return "".join(line + "\n" for line in merged)


def named_settings(values):
    named = {}
    for option, (key, names) in KEYS.items():
        by_value = dict((value, name) for name, value in names.items())
        named[option] = by_value.get(values.get(key))
    return named


def write_atomically(dir_fd, path, content, status):
    temporary = ".%s.%s.tmp" % (CONFIG_NAME, binascii.hexlify(os.urandom(6)).decode("ascii"))
    try:
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600, dir_fd=dir_fd)
    except OSError as error:
        raise SettingsFileError("cannot create a temporary file beside %s: %s" % (path, error.strerror))
    try:
        with os.fdopen(descriptor, "wb") as output:
            output.write(content.encode("utf-8"))
            output.flush()
            os.fchown(output.fileno(), status.st_uid, status.st_gid)
            os.fchmod(output.fileno(), stat.S_IMODE(status.st_mode))
            os.fsync(output.fileno())
        os.rename(temporary, CONFIG_NAME, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    except OSError as error:
        os.unlink(temporary, dir_fd=dir_fd)
        raise SettingsFileError("cannot write %s: %s" % (path, error.strerror))
    os.fsync(dir_fd)


def control_name(module, option):
    """The control's name; YAML's unquoted on and off arrive as booleans."""
    value = module.params[option]
    if isinstance(value, bool):
        return "on" if value else "off"
    if value not in CONTROL_VALUES:
        module.fail_json(msg="%s must be one of off, debug, on; got %r" % (option, value))
    return value


def requested_values(module, previous):
    wanted = {}
    for option, (key, names) in KEYS.items():
        if module.params[option] is not None:
            name = module.params[option] if option == "verify_mode" else control_name(module, option)
            wanted[key] = names[name]
    elf_after = wanted.get("DIGSIG_ELF_MODE", previous.get("DIGSIG_ELF_MODE"))
    if module.params["verify_mode"] is not None and elf_after == CONTROL_VALUES["off"]:
        module.fail_json(msg="The verify mode can be set only while executable-file control is not off")
    return wanted


def run(module):
    root = module.params["root"]
    path = os.path.join(root, *CONFIG_DIR + (CONFIG_NAME,))
    dir_fd = open_config_dir(root)
    try:
        text, status = read_config(dir_fd, path)
        previous = current_values(text)
        wanted = requested_values(module, previous)
        changes = dict((key, value) for key, value in wanted.items() if previous.get(key) != value)
        new_text = merged_settings(text, changes) if changes else text
        result = {
            "changed": new_text != text,
            "previous": named_settings(previous),
            "settings": named_settings(current_values(new_text)),
        }
        if module._diff:
            result["diff"] = {"before": text, "after": new_text, "before_header": path, "after_header": path}
        if result["changed"] and not module.check_mode:
            write_atomically(dir_fd, path, new_text, status)
    finally:
        os.close(dir_fd)
    module.exit_json(**result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            root=dict(type="path", default="/"),
            elf_mode=dict(type="raw"),
            xattr_mode=dict(type="raw"),
            verify_mode=dict(type="str", choices=list(VERIFY_VALUES)),
        ),
        required_one_of=[list(KEYS)],
        supports_check_mode=True,
    )
    try:
        run(module)
    except SettingsFileError as error:
        module.fail_json(msg=str(error))


if __name__ == "__main__":
    main()
