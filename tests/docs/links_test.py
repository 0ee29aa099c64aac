#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Links that hold: README.md and the guides in docs/ name only what exists.

    links_test.py REPO        check REPO's README.md and docs/*.md; exit 1
                              naming each broken reference
    links_test.py --self-test check the checker on pages made up here

Checked, outside code blocks:
  - each relative link [text](target) or [text](target#anchor): the target,
    from the page's own folder, exists; an anchor names a heading of the
    target page (as the repository's web view makes anchors);
  - each path in backticks, `scripts/release.sh` or `tests/box/gate/`, whose
    first part is a file or folder at the top of the repository: the whole
    path exists from there. Spans with blanks (commands), wildcards or
    placeholders are not paths; neither are build trees, which git ignores.
"""
import os
import re
import subprocess
import sys
import tempfile

LINK = re.compile(r'\[[^\]]*\]\(([^)\s]+)\)')
CODE_SPAN = re.compile(r'`([^`\n]+)`')
FENCE = re.compile(r'^\s*(```|~~~)')


def anchor(heading):
    """The anchor the web view gives a heading."""
    text = heading.strip().lower()
    text = re.sub(r'[^\w\- ]', '', text)
    return text.replace(' ', '-')


def prose_lines(text):
    """The lines outside fenced and indented code blocks, with their numbers."""
    fenced = False
    for number, line in enumerate(text.split('\n'), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if fenced or line.startswith('    ') and not line.lstrip().startswith(('-', '|')):
            continue
        yield number, line


def anchors_of(path):
    with open(path, encoding='utf-8') as f:
        return {anchor(line.lstrip('#')) for _, line in prose_lines(f.read()) if line.startswith('#')}


def top_entries(repo):
    """The files and folders at the top of the repository that git tracks."""
    try:
        names = subprocess.run(['git', '-C', repo, 'ls-files'], capture_output=True, text=True,
                               check=True).stdout.split('\n')
    except (OSError, subprocess.CalledProcessError):
        names = [n for n in os.listdir(repo) if not n.startswith('.git')]
    return {n.split('/')[0] for n in names if n}


def is_path(span, tops):
    if re.search(r'[\s*$<>{}|]|\.\.\.', span) or span.startswith(('/', '-', '.')):
        return False
    return span.split('/')[0] in tops and ('/' in span or '.' in span or span in tops)


def check_page(repo, page, tops):
    """The broken references of one page, as 'page:line: what' texts."""
    problems = []
    folder = os.path.dirname(page)
    with open(page, encoding='utf-8') as f:
        text = f.read()
    name = os.path.relpath(page, repo)
    for number, line in prose_lines(text):
        for target in LINK.findall(line):
            if re.match(r'[a-z]+:', target):
                continue
            file_part, _, hash_part = target.partition('#')
            where = os.path.normpath(os.path.join(folder, file_part)) if file_part else page
            if not os.path.exists(where):
                problems.append(f'{name}:{number}: link to a missing file: {target}')
            elif hash_part and where.endswith('.md') and hash_part not in anchors_of(where):
                problems.append(f'{name}:{number}: link to a missing heading: {target}')
        for span in CODE_SPAN.findall(LINK.sub('', line)):
            if is_path(span, tops) and not os.path.exists(os.path.join(repo, span)):
                problems.append(f'{name}:{number}: no such path: {span}')
    return problems


def check_repo(repo):
    tops = top_entries(repo)
    pages = [os.path.join(repo, 'README.md')]
    docs = os.path.join(repo, 'docs')
    if os.path.isdir(docs):
        pages += sorted(os.path.join(docs, n) for n in os.listdir(docs) if n.endswith('.md'))
    problems = []
    for page in pages:
        problems += check_page(repo, page, tops)
    return pages, problems


def self_test():
    """The checker finds each kind of broken reference, and only those."""
    with tempfile.TemporaryDirectory() as repo:
        os.makedirs(os.path.join(repo, 'docs'))
        os.makedirs(os.path.join(repo, 'scripts'))
        open(os.path.join(repo, 'scripts', 'here.sh'), 'w').close()
        with open(os.path.join(repo, 'docs', 'guide.md'), 'w') as f:
            f.write('# A guide\n\n## The box\'s flash\n\ntext\n')
        with open(os.path.join(repo, 'README.md'), 'w') as f:
            f.write('# Front\n\n'
                    'good: [g](docs/guide.md), [h](docs/guide.md#the-boxs-flash), [s](#front),\n'
                    '`scripts/here.sh`, `scripts/`, `scripts/here.sh ARG`, `build/x`, `/var/x`,\n'
                    '`scripts/*.sh`, [w](https://example.org/x)\n'
                    'bad: [m](docs/missing.md) [a](docs/guide.md#nowhere) `scripts/gone.sh`\n'
                    '\n    scripts/ignored-in-code.sh `scripts/also-ignored.sh`\n'
                    '\n```\n`scripts/fenced.sh`\n```\n')
        _, problems = check_repo(repo)
    expected = ['README.md:6: link to a missing file: docs/missing.md',
                'README.md:6: link to a missing heading: docs/guide.md#nowhere',
                'README.md:6: no such path: scripts/gone.sh']
    if problems != expected:
        print('links_test: the checker found:\n  ' + '\n  '.join(problems) +
              '\nexpected:\n  ' + '\n  '.join(expected))
        return 1
    print('links_test: the checker finds each kind of broken reference')
    return 0


def main(argv):
    if argv[1:] == ['--self-test']:
        return self_test()
    if len(argv) != 2:
        print(__doc__.strip().split('\n\n')[1], file=sys.stderr)
        return 2
    pages, problems = check_repo(os.path.abspath(argv[1]))
    for p in problems:
        print(p)
    print(f'links_test: {len(pages)} pages, {len(problems)} broken references')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
