"""A deterministic mail corpus for the whole-run benchmark.

Message i depends only on (seed, i), so the first 1,000 messages of a 10,000-message corpus are the
1,000-message corpus. Headers are realistic (folded Received chains, signatures, mailing-list and
bulk-mail fields, subjects with punctuation and 8-bit bytes, a few percent of resent Message-IDs);
bodies are filler that brings each message to its drawn size, from 1 KiB to 1 MiB, most of them
small. Every header is one that pollensift's header grammar accepts: an unparsable header would end
the scan of the mailbox and measure nothing.
"""

import base64
import os
import random

OUR_DOMAINS = ['example.com', 'example.net']
FRIEND_DOMAINS = ['example.org', 'colleagues.example']
LISTS = ['dev', 'announce', 'users', 'security', 'jobs', 'offtopic']
LIST_HOST = 'lists.example.org'
SHOP_DOMAINS = ['shop.example', 'airline.example', 'bank.example', 'parcel.example',
                'news.example', 'tickets.example']
HAM_DOMAINS = ['mail.example', 'uni.example', 'city.example', 'isp.example', 'club.example',
               'school.example', 'clinic.example', 'builder.example']
# The rules of bench/rules.py name some of these; most spam in the corpus comes from them.
SPAM_DOMAINS = ['pills-direct.example', 'lucky-winner.example', 'cheap-watches.example',
                'casino-royal.example', 'crypto-gains.example', 'loan-now.example',
                'meds4less.example', 'prize-claim.example', 'diet-miracle.example',
                'replica-bags.example', 'dating-hot.example', 'inheritance-fund.example']
SPAM_PHRASES = ['v1agra', 'lottery', 'casino bonus', 'claim your prize', 'weight loss',
                'cheap meds', 'bitcoin profit', 'inheritance', 'hot singles', 'rolex replica',
                'loan approved', 'winner']

FIRST = ['Ann', 'Bob', 'Carla', 'Dmitri', 'Eve', 'Farid', 'Grete', 'Hiro', 'Ines', 'Jon',
         'Kemal', 'Lena', 'Mia', 'Noor', 'Olaf', 'Priya', 'Quentin', 'Rosa', 'Sven', 'Tariq']
LAST = ['Example', 'Smith', 'Okafor', 'Novak', 'Tanaka', 'Garcia', 'Larsen', 'Dubois',
        'Rossi', 'Kowalski', 'Nguyen', 'Schmidt']
# Names and subjects in UTF-8, sent as raw 8-bit bytes or as encoded words.
NAMES_8BIT = ['Jürgen Müller', 'Zoë Brontë', 'François Lefèvre', 'Søren Ødegård',
              'Łukasz Żółć', 'Иван Петров', '李小龙', 'José Peña']
SUBJECTS_8BIT = ['Überprüfung der Rechnung Nr. {n}', 'Café : réunion à {h}h ?',
                 'Доклад: итоги квартала {n}', '会议纪要：第{h}季度', 'Ærlig talt — møde i dag?',
                 'Año nuevo, ¿planes? (#{n})']
SUBJECTS_HAM = ['Meeting notes, {d}/05: action items', 'Lunch on Thursday?',
                'Re: draft of the report (v{v}) -- comments inline',
                'Invoice #{n} [due {d}.06.]', 'Fwd: photos from the weekend :-)',
                'Question about ticket {n}; urgent?', 'Your order {n} has been shipped!',
                'Quarterly numbers: +{v}% vs. last year', 'Can we move the call to {h}:30?',
                'Reminder: dentist appointment, {d} May', 'Travel plans & budget (draft {v})']
SUBJECTS_LIST = ['[{list}] Patch {v}/{n}: fix the reply reader', '[{list}] Re: build fails on '
                 'arm64 (again?)', '[{list}] RFC: drop the old option "--foo"',
                 '[{list}] ANN: release {v}.{d} is out!', '[{list}] Weekly digest #{n}']
SUBJECTS_SPAM = ['W1NNER!!! You have won ${n},000 -- {phrase} now', 'Cheap {phrase}, {v}0% off!!!',
                 'RE: your {phrase} (ref #{n})', '{phrase}?? Act now!!!',
                 'Your parcel is waiting: confirm delivery fee (€1.{d})',
                 'FREE {phrase} $$$ limited offer']
MAILERS = ['Thunderbird 115.{v}.0', 'Apple Mail (2.{n})', 'Microsoft Outlook 16.0',
           'Mutt/2.2.{v}', 'Evolution 3.{d}.1', 'Roundcube Webmail/1.6.{v}']
WEEKDAYS = ['Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat', 'Sun']
B64 = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/'
HEX = '0123456789abcdef'

# Share of each kind of mail; spam and bcc-spam are what the deny rules are written for.
KINDS = [('ham', 45), ('reply', 10), ('list', 15), ('friend', 8), ('shop', 7), ('spam', 12),
         ('bcc-spam', 3)]
DUPLICATE_SHARE = 0.03

_FILLER_LINE = (b'Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod '
                b'tempor.\n')
_FILLER = _FILLER_LINE * ((1 << 20) // len(_FILLER_LINE) + 2)


def _rng(seed, i, purpose):
    return random.Random('%s:%d:%s' % (seed, i, purpose))


def _size(rng):
    """Message size in bytes, skewed small: three quarters below 8 KiB, one in a hundred large."""
    u = rng.random()
    if u < 0.75:
        return rng.randint(1024, 8192)
    if u < 0.95:
        return rng.randint(8192, 65536)
    if u < 0.99:
        return rng.randint(65536, 262144)
    return rng.randint(262144, 1 << 20)


def _token(rng, alphabet, n):
    return ''.join(rng.choice(alphabet) for _ in range(n))


def _base_id(seed, i):
    rng = _rng(seed, i, 'id')
    form = rng.randrange(3)
    if form == 0:
        return '<%014d.%s@%s>' % (20240000000000 + i * 37, _token(rng, HEX, 8),
                                  rng.choice(HAM_DOMAINS))
    if form == 1:
        return '<CA+%s@mail.gmail.example>' % _token(rng, B64[:62], 40)
    return '<%s-%s-%s@%s>' % (_token(rng, HEX, 8), _token(rng, HEX, 4), _token(rng, HEX, 12),
                              rng.choice(SHOP_DOMAINS + SPAM_DOMAINS))


def message_id(seed, i):
    """Message i's Message-ID; a few percent repeat the ID of one of the 500 messages before."""
    rng = _rng(seed, i, 'dup')
    if i > 0 and rng.random() < DUPLICATE_SHARE:
        return message_id(seed, rng.randrange(max(0, i - 500), i))
    return _base_id(seed, i)


def _encoded_word(text):
    return '=?UTF-8?B?%s?=' % base64.b64encode(text.encode()).decode()


def _date(i, rng):
    day = 1 + i % 28
    return '%s, %d May 2024 %02d:%02d:%02d %s' % (
        WEEKDAYS[i % 7], day, rng.randrange(24), rng.randrange(60), rng.randrange(60),
        rng.choice(['+0000', '+0200', '-0700', '+0530']))


def _fill(template, rng, phrase=''):
    return template.format(n=rng.randint(100, 99999), d=rng.randint(1, 28), h=rng.randint(1, 4),
                           v=rng.randint(1, 9), list=rng.choice(LISTS), phrase=phrase)


def _folded(name, words, width=76):
    """One field whose words are folded onto continuation lines that begin with a tab."""
    lines = []
    line = name + ':'
    for word in words:
        if len(line) + 1 + len(word) > width and line != name + ':':
            lines.append(line)
            line = '\t' + word
        else:
            line += ' ' + word
    lines.append(line)
    return '\n'.join(lines)


def _received(rng, date, spam):
    if spam:
        host = 'unknown'
        ip = '203.0.113.%d' % rng.randrange(1, 255)
        helo = '(HELO %s) ' % _token(rng, 'abcdefghijklmnopqrstuvwxyz', 7)
    else:
        host = 'mx%d.%s' % (rng.randrange(1, 9), rng.choice(HAM_DOMAINS + SHOP_DOMAINS))
        ip = '198.51.100.%d' % rng.randrange(1, 255)
        helo = ''
    lines = ['Received: from %s %s(%s [%s])' % (host, helo, host, ip),
             '\tby mx.example.com (Postfix) with ESMTPS id %s' % _token(rng, HEX.upper(), 10)]
    if rng.random() < 0.7:
        lines.append('\tfor <user@example.com>; %s' % date)
    else:
        lines[-1] += '; ' + date
    return '\n'.join(lines)


def _signature(name, rng, domain):
    words = ['v=1;', 'a=rsa-sha256;', 'c=relaxed/relaxed;', 'd=%s;' % domain, 's=sel%d;' %
             rng.randrange(1, 4), 't=%d;' % rng.randrange(1700000000, 1720000000),
             'h=from:to:subject:date:message-id:mime-version:content-type;',
             'bh=%s=;' % _token(rng, B64, 43), 'b=' + _token(rng, B64, 60)]
    words += [_token(rng, B64, 70) for _ in range(rng.randint(2, 4))]
    return _folded(name, words)


def _person(rng, domain):
    u = rng.random()
    first, last = rng.choice(FIRST), rng.choice(LAST)
    local = '%s.%s' % (first.lower(), last.lower())
    if u < 0.1:
        return '%s <%s@%s>' % (rng.choice(NAMES_8BIT), local, domain)
    if u < 0.2:
        return '%s <%s@%s>' % (_encoded_word(rng.choice(NAMES_8BIT)), local, domain)
    if u < 0.3:
        return '"%s, %s" <%s@%s>' % (last, first, local, domain)
    if u < 0.4:
        return '%s@%s' % (local, domain)
    return '%s %s <%s@%s>' % (first, last, local, domain)


def _subject(rng, kind):
    if kind in ('spam', 'bcc-spam'):
        return _fill(rng.choice(SUBJECTS_SPAM), rng, rng.choice(SPAM_PHRASES))
    if kind == 'list':
        return _fill(rng.choice(SUBJECTS_LIST), rng)
    u = rng.random()
    if u < 0.15:
        return _fill(rng.choice(SUBJECTS_8BIT), rng)
    if u < 0.22:
        return _encoded_word(_fill(rng.choice(SUBJECTS_8BIT), rng))
    subject = _fill(rng.choice(SUBJECTS_HAM), rng)
    if kind == 'reply':
        subject = 'Re: ' + subject
    return subject


def header(seed, i):
    """Message i's header as text with LF line ends, and its kind."""
    rng = _rng(seed, i, 'header')
    kind = rng.choices([k for k, _ in KINDS], [w for _, w in KINDS])[0]
    spam = kind in ('spam', 'bcc-spam')
    date = _date(i, rng)
    if spam:
        domain = rng.choice(SPAM_DOMAINS) if rng.random() < 0.8 else 'bulk%d.example' % (i % 97)
    elif kind == 'friend':
        domain = rng.choice(FRIEND_DOMAINS)
    elif kind == 'shop':
        domain = rng.choice(SHOP_DOMAINS)
    else:
        domain = rng.choice(HAM_DOMAINS)
    list_name = rng.choice(LISTS)

    fields = ['Return-Path: <bounce+%s@%s>' % (_token(rng, HEX, 12), domain),
              'Delivered-To: user@example.com']
    hops = rng.randint(1, 2) if spam else rng.randint(2, 7)
    fields += [_received(rng, date, spam and hop == hops - 1) for hop in range(hops)]
    if not spam or rng.random() < 0.3:
        fields.append(_folded('Authentication-Results', [
            'mx.example.com;', 'dkim=pass', 'header.d=%s' % domain, 'header.s=sel1', 'header.b=%s;'
            % _token(rng, B64, 8), 'spf=pass', '(mx.example.com: domain of %s designates' % domain,
            '198.51.100.7', 'as permitted sender)', 'smtp.mailfrom=%s;' % domain,
            'dmarc=pass', '(p=NONE', 'sp=NONE', 'dis=NONE)', 'header.from=%s' % domain]))
    if not spam and rng.random() < 0.6:
        fields.append(_signature('DKIM-Signature', rng, domain))
    if kind == 'list' or rng.random() < 0.1:
        fields.append(_signature('ARC-Message-Signature', rng, domain))
        fields.append(_signature('ARC-Seal', rng, domain))
    if rng.random() < 0.15:  # a large organisation's mail system adds a score of fields
        for n in range(rng.randint(8, 20)):
            fields.append('X-MS-Exchange-Antispam-Field%d: %s' % (n, _token(rng, B64[:62], 30)))

    fields.append('From: ' + _person(rng, domain))
    if kind == 'bcc-spam':
        fields.append('To: undisclosed-recipients:;')
    else:
        ours = 'user@' + rng.choice(OUR_DOMAINS)
        fields.append('To: ' + (ours if rng.random() < 0.6 else 'Your Name <%s>' % ours))
        if rng.random() < 0.2:
            fields.append(_folded('Cc', [_person(rng, rng.choice(HAM_DOMAINS)) + ','
                                         for _ in range(rng.randint(1, 4))]).rstrip(','))
    subject = _subject(rng, kind)
    if len(subject) > 60 and rng.random() < 0.5:
        fields.append(_folded('Subject', subject.split(' '), width=50))
    else:
        fields.append('Subject: ' + subject)
    fields.append('Date: ' + date)
    fields.append('Message-ID: ' + message_id(seed, i))
    if kind == 'reply':
        earlier = [_base_id(seed, rng.randrange(0, i + 1)) for _ in range(rng.randint(1, 6))]
        fields.append('In-Reply-To: ' + earlier[-1])
        fields.append(_folded('References', earlier))
    fields.append('MIME-Version: 1.0')
    if spam and rng.random() < 0.3:
        fields.append('Content-Type: text/html; charset="%s"' %
                      rng.choice(['gb2312', 'koi8-r', 'windows-1251']))
    elif rng.random() < 0.5:
        fields.append('Content-Type: multipart/alternative;\n\tboundary="%s"' %
                      _token(rng, HEX, 28))
    else:
        fields.append('Content-Type: text/plain; charset=utf-8; format=flowed')
    fields.append('Content-Transfer-Encoding: ' + rng.choice(['7bit', '8bit', 'quoted-printable']))
    if rng.random() < 0.5:
        fields.append(('X-Mailer: ' if rng.random() < 0.5 else 'User-Agent: ') +
                      _fill(rng.choice(MAILERS), rng))
    if kind == 'list':
        fields.append('List-Id: %s discussion <%s.%s>' % (list_name.capitalize(), list_name,
                                                          LIST_HOST))
        fields.append('List-Post: <mailto:%s@%s>' % (list_name, LIST_HOST))
        fields.append('Precedence: list')
    if kind in ('list', 'shop') or (spam and rng.random() < 0.5):
        fields.append(_folded('List-Unsubscribe', [
            '<mailto:unsubscribe@%s?subject=unsubscribe>,' % domain,
            '<https://%s/unsubscribe?u=%s>' % (domain, _token(rng, B64[:62], 24))]))
    if spam:
        if rng.random() < 0.4:
            fields.append('X-Spam-Flag: YES')
        if rng.random() < 0.3:
            fields.append('X-Priority: 1 (Highest)')
    if rng.random() < 0.3:
        fields.append(_folded('X-Spam-Status', [
            'Yes,' if spam else 'No,', 'score=%.1f' % (rng.uniform(5, 15) if spam else
                                                      rng.uniform(-3, 3)),
            'required=5.0', 'tests=' + ','.join(rng.sample(
                ['BAYES_00', 'DKIM_SIGNED', 'DKIM_VALID', 'HTML_MESSAGE', 'RCVD_IN_DNSWL_NONE',
                 'SPF_HELO_NONE', 'SPF_PASS', 'URIBL_BLOCKED', 'FREEMAIL_FROM'], 4)),
            'autolearn=ham', 'version=3.4.6']))
    return '\n'.join(fields) + '\n', kind


def message(seed, i):
    """Message i as bytes (LF line ends), with its kind."""
    text, kind = header(seed, i)
    head = text.encode()
    size = max(_size(_rng(seed, i, 'size')), len(head) + 200)
    body = _FILLER[:size - len(head) - 1]
    body = body[:body.rfind(b'\n') + 1] or b'-\n'
    return head + b'\n' + body, kind


def real_messages(data):
    """The messages of the SpamAssassin corpus fetched by bench/learn.py (its data folder), in a
    fixed order, without their mbox "From " line: (folder, file name, bytes) for each."""
    for group in sorted(os.listdir(data)):
        folder = os.path.join(data, group)
        if not os.path.isdir(folder):
            continue
        for name in sorted(f for f in os.listdir(folder) if f.endswith('.txt')):
            with open(os.path.join(folder, name), 'rb') as f:
                text = f.read()
            if text.startswith(b'From '):
                text = text.split(b'\n', 1)[1] if b'\n' in text else b''
            yield group, name, text
