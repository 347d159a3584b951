"""Rc files with R filter rules for the whole-run benchmark.

The first ten rules are a realistic personal set: allow rules for colleagues and two mailing lists,
deny rules for spam words, spam domains, the spam flag and a foreign character set, score rules,
and one negative rule of each kind. Rules beyond ten are the long tail of a block list: sender
domains, subject phrases, relay addresses, words anywhere in a line; a few name what the corpus
holds, most name nothing in it, as with a real block list. Most rules are anchored on a field name
(^From:, ^Subject:), some are not anchored at all. Keywords mix the plain, _CASE and _NOCASE forms.

REG_TYPE applies to every rule of a file, so each rule set is written in one syntax; each template
below has a basic and an extended form (basic has no alternation, so its forms name one
alternative or use a bracket expression instead).
"""

import random

from corpus import FRIEND_DOMAINS, LISTS, SPAM_DOMAINS, SPAM_PHRASES

EXTENDED, BASIC = 'extended', 'basic'

# (keyword, operator, points or None, extended expression, basic expression)
CORE = [
    ('ALLOW', '=', None, r'^From:.*@(example\.org|colleagues\.example)>?$',
     r'^From:.*@[a-z]*\.\{0,1\}example\.org>\{0,1\}$'),
    ('DENY', '=', None, r'^Subject:.*(v[i1]agra|lottery|casino)', r'^Subject:.*v[i1]agra'),
    ('SCORE', '=', 60, r'^Subject:.*(free|winner|\$\$\$|!!!)', r'^Subject:.*!!!'),
    ('ALLOW_CASE', '=', None, r'^List-Id: .*<(dev|announce)\.lists\.example\.org>',
     r'^List-Id: .*<dev\.lists\.example\.org>'),
    ('DENY_NOCASE', '=', None, r'^From:.*@[a-z0-9-]*(pills|winner|casino)[a-z0-9-]*\.example',
     r'^From:.*@[a-z0-9-]*pills[a-z0-9-]*\.example'),
    ('DENY_CASE', '=', None, r'^X-Spam-Flag: YES', r'^X-Spam-Flag: YES'),
    ('SCORE_CASE', '=', 50, r'^X-Priority: 1', r'^X-Priority: 1'),
    # Mail that names none of our addresses is deleted.
    ('DENY', '<>', None, r'^(To|Cc):.*@example\.(com|net)', r'^[TC][oc]:.*@example\.[cn][eo][mt]'),
    # Local mail never passed a relay; it is always welcome.
    ('ALLOW', '<>', None, r'^Received:', r'^Received:'),
    ('SCORE_NOCASE', '<>', 30, r'^Message-I[Dd]: <[^@ ]+@[^> ]+>$',
     r'^Message-I[Dd]: <[^@ ]\{1,\}@[^> ]\{1,\}>$'),
]

# The first rules of the long tail, then templates drawn at random.
TAIL_FIRST = [
    ('DENY', '=', None, r'charset="?(gb2312|koi8-r|windows-1251)', r'charset="\{0,1\}gb2312'),
    ('SCORE', '=', -40, r'^List-Id:', r'^List-Id:'),
    ('SCORE_NOCASE', '=', 45, r'^Received: from [^ ]+ .*\[203\.0\.113\.[0-9]{1,3}\]',
     r'^Received: from [^ ]\{1,\} .*\[203\.0\.113\.[0-9]\{1,3\}\]'),
]

WORDS = ['bonus', 'offer', 'deal', 'promo', 'sale', 'gift', 'cash', 'credit', 'miracle', 'secret',
         'trial', 'member', 'vip', 'jackpot', 'reward', 'discount', 'pharma', 'crypto', 'invest']
TLDS = ['example', 'test', 'invalid']


def _escape(text):
    out = ''
    for c in text:
        out += '\\' + c if c in '.^$*[]\\+?(){}|' else c
    return out


def _keyword(rng, kind):
    u = rng.random()
    if u < 0.6:
        return kind
    return kind + ('_CASE' if u < 0.8 else '_NOCASE')


def _invented_domain(rng, k):
    return '%s%d-%s.%s' % (rng.choice(WORDS), k, rng.choice(WORDS), rng.choice(TLDS))


def _tail_rule(rng, k):
    """One block-list rule; about one in twenty names something that the corpus holds."""
    hit = rng.random() < 0.05
    u = rng.random()
    if u < 0.55:
        kind = 'DENY'
    elif u < 0.85:
        kind = 'SCORE'
    else:
        kind = 'ALLOW'
    keyword = _keyword(rng, kind)
    points = rng.choice([5, 10, 15, 20, 25, 40, -10, -20]) if kind == 'SCORE' else None
    form = rng.randrange(5) if kind != 'ALLOW' else rng.randrange(2)
    if kind == 'ALLOW':
        if form == 0:
            domain = rng.choice(FRIEND_DOMAINS) if hit else _invented_domain(rng, k)
            name = rng.choice(['ann', 'bob', 'carla', 'lena', 'sven'])
            pattern = '^From:.*%s[.a-z]*@%s' % (name, _escape(domain))
            return keyword, '=', points, pattern, pattern
        name = rng.choice(LISTS) if hit else 'list%d' % k
        return (keyword, '=', points, r'^List-Id:.*<%s\.' % name, r'^List-Id:.*<%s\.' % name)
    if form == 0:
        domain = rng.choice(SPAM_DOMAINS) if hit else _invented_domain(rng, k)
        pattern = '^From:.*@%s' % _escape(domain)
        return keyword, '=', points, pattern + '>?$', pattern
    if form == 1:
        phrase = rng.choice(SPAM_PHRASES) if hit else '%s %s %d' % (
            rng.choice(WORDS), rng.choice(WORDS), k)
        words = phrase.split(' ')
        return (keyword, '=', points, '^Subject:.*' + '[ _-]+'.join(words),
                '^Subject:.*' + r'[ _-]\{1,\}'.join(words))
    if form == 2:
        net = '203\\.0\\.113' if hit else '192\\.0\\.%d' % (k % 256)
        return (keyword, '=', points, r'^Received: from .*\[%s\.[0-9]{1,3}\]' % net,
                r'^Received: from .*\[%s\.[0-9]\{1,3\}\]' % net)
    if form == 3:  # unanchored: a domain anywhere in any line
        domain = rng.choice(SPAM_DOMAINS) if hit else _invented_domain(rng, k)
        return keyword, '=', points, _escape(domain), _escape(domain)
    word = rng.choice(WORDS) + str(k)
    return (keyword, '=', points, r'^X-Mailer: .*(%s|%s)' % (word, word.upper()),
            r'^X-Mailer: .*%s' % word)


def rules(count, seed=1):
    """count rules as (keyword, operator, points, expression for each syntax)."""
    chosen = CORE[:count]
    tail = TAIL_FIRST[:max(0, count - len(chosen))]
    chosen += tail
    rng = random.Random('%s:rules' % seed)
    k = 0
    while len(chosen) < count:
        chosen.append(_tail_rule(rng, k))
        k += 1
    return chosen


def statement(rule, syntax):
    keyword, operator, points, extended, basic = rule
    expression = extended if syntax == EXTENDED else basic
    # A quote followed only by blanks would end the value early, and a backquote would start a
    # command; the generated expressions hold neither.
    assert '`' not in expression and not expression.rstrip().endswith('"')
    score = ' %d' % points if points is not None else ''
    return '%s%s %s "%s"' % (keyword, score, operator, expression)


def rc_text(count, syntax, logfile, host, port, user, password, seed=1, pipelining=None,
            duplicates='yes', shape='block'):
    lines = ['# Written by bench/run.py: %d rules in %s syntax.' % (count, syntax),
             'LOGFILE = "%s"' % logfile,
             'TEST = "yes"',
             'TIMEOUT = 60',
             'DEL_DUPLICATES = "%s"' % duplicates,
             'NORMAL = "yes"',
             'HIGHSCORE = 100',
             'REG_TYPE = "%s"' % syntax]
    if pipelining is not None:
        lines.append('PIPELINING = "%s"' % pipelining)
    chosen = SHAPES[shape](count, seed)
    lines += [statement(rule, syntax) for rule in chosen]
    lines += ['SERVER = "%s"' % host, 'USER = "%s"' % user, 'PASS = "%s"' % password,
              'PROTOCOL = "POP3"', 'PORT = %d' % port]
    return '\n'.join(lines) + '\n'


# The heavy shape: thousands of rules on the same few fields, each with counted repetitions after
# a ".*" (words with gaps, sender names of a given length, numbered relays). Such a set, matched
# whole, makes automaton states that hold many live rules at once.
HEAVY_LETTERS = 'abcdefghijklmnopqrstuvwxyz'


def _heavy_word(rng):
    return ''.join(rng.choice(HEAVY_LETTERS) for _ in range(rng.randrange(5, 9)))


def _heavy_rule(rng, k):
    form = k % 4
    word = _heavy_word(rng)
    if form == 0:  # two words with up to three bytes of anything between them
        other = _heavy_word(rng)
        return ('DENY', '=', None, '^Subject:.*%s.{0,3}%s' % (word, other),
                r'^Subject:.*%s.\{0,3\}%s' % (word, other))
    if form == 1:  # a sender name of some length at a numbered domain
        return ('DENY_NOCASE', '=', None, r'^From:.*[a-z0-9._-]{4,16}@[a-z0-9-]{0,8}%s%d\.' % (
            word, k), r'^From:.*[a-z0-9._-]\{4,16\}@[a-z0-9-]\{0,8\}%s%d\.' % (word, k))
    if form == 2:  # a numbered relay
        return ('SCORE', '=', 20, r'^Received:.*\[[0-9]{1,3}\.%d\.[0-9]{1,3}\.[0-9]{1,3}\]' % (
            k % 250), r'^Received:.*\[[0-9]\{1,3\}\.%d\.[0-9]\{1,3\}\.[0-9]\{1,3\}\]' % (k % 250))
    return ('SCORE_NOCASE', '=', 15, r'^Subject:.*%s[^a-z]{1,3}[0-9]{2,6}' % word,
            r'^Subject:.*%s[^a-z]\{1,3\}[0-9]\{2,6\}' % word)


def heavy_rules(count, seed=1):
    """count rules of the heavy shape, as rules() returns them."""
    rng = random.Random('%s:heavy' % seed)
    return [_heavy_rule(rng, k) for k in range(count)]


# The mixed shape: half a block list (rules() above: deny rules on From and Subject, score rules
# with and without case on Subject and X-Mailer, unanchored domains), half score rules of counted
# repetitions after ".*" on a field alternation, so that they belong to no one field. Each kind
# alone is cheap; thrown together into shared sets, the repetitions' states used to swamp the rest.
def _mixed_repetition(rng, k):
    form = k % 5
    word = _heavy_word(rng)
    keyword = ('SCORE', 'SCORE_NOCASE', 'SCORE_CASE')[k % 3]
    points = (5, 10, 15, -5)[k % 4]
    fields = ('(Subject|From|To)', '(Subject|From|To)', '(From|To|Cc)', '(Subject|From|To)',
              '(Subject|From|To)')[form]
    if form == 0:  # a word, a few non-letters, a number
        ext = r'^%s:.*%s[^a-z]{1,3}[0-9]{2,6}' % (fields, word)
        basic = r'^\\(Subject\\|From\\|To\\):.*%s[^a-z]\\{1,3\\}[0-9]\\{2,6\\}' % word
    elif form == 1:  # a name of some length at a numbered domain
        ext = r'^%s:.*[a-z0-9._-]{4,16}@[a-z0-9-]{0,8}%s%d\.' % (fields, word, k)
        basic = r'^\\(Subject\\|From\\|To\\):.*[a-z0-9._-]\\{4,16\\}@[a-z0-9-]\\{0,8\\}%s%d\.' % (
            word, k)
    elif form == 2:  # two words with up to three bytes between them
        other = _heavy_word(rng)
        ext = r'^%s:.*%s.{0,3}%s' % (fields, word, other)
        basic = r'^\\(From\\|To\\|Cc\\):.*%s.\\{0,3\\}%s' % (word, other)
    elif form == 3:  # a repeated word
        ext = r'^%s:.*(%s[ !]*){2,4}' % (fields, word)
        basic = r'^\\(Subject\\|From\\|To\\):.*\\(%s[ !]*\\)\\{2,4\\}' % word
    else:  # digits around a word, unanchored within the line
        ext = r'^%s:.*[0-9]{2,5}%s[0-9]{1,3}' % (fields, word)
        basic = r'^\\(Subject\\|From\\|To\\):.*[0-9]\\{2,5\\}%s[0-9]\\{1,3\\}' % word
    return keyword, '=', points, ext, basic


def mixed_rules(count, seed=1):
    """count rules of the mixed shape, as rules() returns them: the block list first."""
    block = rules(count - count // 2, seed)
    rng = random.Random('%s:mixed' % seed)
    return block + [_mixed_repetition(rng, k) for k in range(count // 2)]


SHAPES = {'block': rules, 'heavy': heavy_rules, 'mixed': mixed_rules}
