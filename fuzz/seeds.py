#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seed corpora under fuzz/corpus/: a few hand-picked inputs per
target, the shapes each reader expects and a few it must refuse. Run it again
after changing a seed; the files are kept in the repository."""
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))
H40 = "0123456789abcdef0123456789ABCDEF01234567"
B32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"
MAGNET = "magnet:?xt=urn:btih:" + H40 + "&dn=Show"
SETTINGS = '{"APIKey":"KEY123","CustomName":"host","ID":"acct-1"}'


def ok(data):
    return '{"status":"success","data":%s}' % data


def err(code, message):
    return '{"status":"error","error":{"code":"%s","message":"%s"}}' % (code, message)


FILES = ok('{"magnets":[{"id":12,"files":[{"n":"Show","e":[{"n":"Show.S01E01.mkv","s":5,"l":"L1"},'
           '{"n":"Sub","e":[{"n":"Show.S01E02.mkv","l":"L2"}]}]},{"n":"notes.txt","s":9,"l":"L3"},7]}]}')
UPLOAD_READY = ok('{"magnets":[{"id":42,"ready":true,"name":"Show","hash":"abc"}]}')
UPLOAD_WAIT = ok('{"magnets":[{"id":42,"ready":false}]}')
UPLOAD_FILE = ok('{"files":[{"file":"t.torrent","id":42,"ready":false}]}')
UPLOAD_REFUSED = ok('{"magnets":[{"magnet":"x","error":{"code":"MAGNET_INVALID_URI","message":"bad"}}]}')
FILES_UNKNOWN = ok('{"magnets":[{"id":12,"error":{"code":"MAGNET_INVALID_ID","message":"unknown"}}]}')
UNLOCK = ok('{"link":"https://cdn/f.mkv","filename":"Film.mkv","filesize":700}')
TORRENT = "d8:announce3:url4:infod6:lengthi5e4:pathl1:aeee"
# The service's documented answers of a video of several qualities, its
# chosen stream, a delayed link and the saved links.
CHOICE = ok('{"link":"","host":"stream","filename":"Video","filesize":0,"id":"1nsjw3315ad","streams":['
            '{"id":"140","ext":"mp3","quality":"mp3","filesize":3433538},'
            '{"id":"137+140","ext":"mp4","quality":1080,"filesize":75910363},'
            '{"id":"398+140","ext":"mp4","quality":720,"filesize":32752789}]}')
STREAMED = ok('{"link":"https://p1cjev.alldeb.ovh/dl/1nsjw3315ad/v.360.mp4","filename":"v.360.mp4",'
              '"filesize":113129149}')
STREAMED_DELAYED = ok('{"filename":"v.360.mp4","filesize":113129149,"delayed":2277564}')
PROCESSING = ok('{"status":1,"time_left":45}')
READY = ok('{"status":2,"time_left":0,"link":"http:\\/\\/ombfyx.debrid.it\\/dl\\/abcdefgh12\\/f.iso"}')
SAVED = ok('{"links":[{"link":"https:\\/\\/example.com\\/somefile1","filename":"somefile1.txt",'
           '"size":751267520,"date":1569420668,"host":"example"},{"link":"http:\\/\\/youtube.com\\/'
           'watch?v=dQw4w9WgXcQ","filename":"","size":0,"date":1583253075,"host":"stream"}]}')

SEEDS = {
    "settings": [SETTINGS, '{"APIKey":"  KEY  ","RuntimeType":"ALLDEBRID"}',
                 '{"APIKey":" ","ClientSecret":"S3CRET","ClientId":7}', '{"APIKey":12345,"ID":true}',
                 '{"RuntimeType":"alldebrid","APIKey":"K"}', '{}', '[]', '{"APIKey":"a",}',
                 '{"APIKey":"K","APIRoot":"http://127.0.0.1:8080/api/"}',
                 '{"APIKey":"K","APIRoot":"http://localhost@127.0.0.1.example.com:80?x#y"}'],
    "entry": ['{"locator":"L1","link":"x","path":"p"}', '{"locator":"","link":"https://h/f"}',
              '{"path":"Show/E1.mkv"}', '{}', '[]', '{"locator":null,"link":5,"path":"p"}'],
    "download_request": ['{"Link":"%s","FullSeason":true,"Season":1,"Episode":2,"KeepInstantOnly":true}' % MAGNET,
                         '{"Link":"https://h/file.torrent"}', '{"Link":""}', '{"Link":5}',
                         '{"Link":"x","Season":4294967297,"Episode":-3,"FullSeason":"true"}', 'null'],
    "envelope": [ok('null'), ok('{"a":1}'), err("AUTH_BAD_APIKEY", "The apikey is invalid"),
                 err("MAGNET_INVALID_URI", "bad"), err("MAGNET_TOO_MANY_ACTIVE", "wait"),
                 err("MAINTENANCE", "later"), err("NO_SERVER", "vpn"), '{"status":"Success"}', '{"status":1}',
                 '{"status":"success"}', ' {"status":"error","error":"x"} ', '{}x', '[1]'],
    "files": [FILES, ok('{"magnets":[{"id":1,"files":[{"n":"empty","e":[]}]}]}'),
              ok('{"magnets":[{"files":[{"s":1.5,"l":""},{"n":"a/b","e":"x","s":3}]}]}'),
              ok('{"magnets":[]}'), err("MAGNET_INVALID_ID", "no"), FILES_UNKNOWN,
              ok('{"magnets":[{"error":"x","files":[{"n":"a","l":"L"}]}]}')],
    "upload": [UPLOAD_READY, UPLOAD_WAIT, ok('{"magnets":[{"id":"42"}]}'), ok('{"magnets":{}}'),
               ok('{"magnets":[{"id":4.2,"ready":1}]}'), err("MAGNET_MUST_BE_PREMIUM", "pay"),
               UPLOAD_FILE, UPLOAD_REFUSED, ok('{"files":{"id":9},"magnets":[{"id":8}]}'),
               ok('{"files":[{"error":{"code":"MAGNET_TOO_LARGE","message":"big"}}],"magnets":[{"id":8}]}')],
    # The cap in decimal, a NUL, then the answer.
    "streaming": ["\0" + CHOICE, "720\0" + CHOICE, "100\0" + CHOICE, "\0" + STREAMED, "\0" + STREAMED_DELAYED,
                  "\0" + ok('{"link":"","id":42,"streams":[{"id":7,"quality":"ogg","filesize":3},'
                             '{"id":"8","quality":"mp3","filesize":3}]}'),
                  "\0" + ok('{"link":"","streams":[{"id":"s","quality":720}]}'),
                  "\0" + ok('{"link":"","streams":[],"delayed":5}'), "\0" + UNLOCK],
    "delayed": [PROCESSING, READY, ok('{"status":3}'), ok('{"status":2,"link":""}'), ok('{"status":"1"}'),
                ok('{"status":1,"time_left":1.5}'), err("DELAYED_INVALID_ID", "no")],
    "saved_links": [SAVED, ok('{"links":[]}'), ok('{"links":[{"filename":"x"},{"link":"L","size":-1},'
                                                  '{"link":"M","filename":null,"size":"9"}]}'),
                    ok('{"links":{}}'), ok('[]')],
    "unlock": [UNLOCK, ok('{"link":"u"}'), ok('{"link":""}'), ok('{"link":"u","filename":"","filesize":1.5}'),
               err("LINK_HOST_NOT_SUPPORTED", "no")],
    "season": ["Show.S01E02.1080p.mkv", "Show E03 S02", "Season 1 Episode 2", "Show 1x02",
               "Show 892 end", "Show - 05 - Title.mkv", "S01ep02", "S100E01.mkv", "Title.2019.mkv"],
    "magnet": ["magnet:?xt=urn:btih:" + H40, "magnet:?dn=Name&xt=urn:btih:" + B32 + "&tr=udp",
               "magnet:?xt=urn:btih:" + H40[:39], "MAGNET:?xt=urn:btih:" + H40, "magnet:?xt=urn:btih:&dn=x"],
    "torrent": [TORRENT, "d8:announce4:infoe", "d4:infod6:lengthi5eee", "d13:announce-list4:infoe",
                "x8:announce4:infoe"],
    "bencode": [TORRENT, TORRENT[:-3], "de", "de trailing", "d1:al1:b", "d1:ai-42ee", "d1:ai-ee",
                "d8:announce99:url", "d003:abce", "le", "d" + "l" * 64 + "e" * 65,
                "d6:pieces4:\x00\x01\x02\x03e"],
    # The first byte is the size of the smaller buffer.
    "redact": ["\x40https://user:pw@api.alldebrid.com/v4/user?agent=a&apikey=KEY123&x=1",
               "\x08svn+ssh://a@b@host/p@q?APIKEY=zz#frag?apikey=y", "\x00?apikey=&apikey=k#x",
               "\x05failed https://u:p@h/x?apikey=k", "\x01apikey=k"],
    "json_string": ['plain', 'tab\there "quoted" back\\slash', '\x01\x08\x0c\x1f\x7f', '\xc3\xa9\xff/'],
    "status": [ok('{"magnets":[{"id":123456,"filename":"u.iso","size":587400285,'
                                '"status":"Downloading","statusCode":1,"downloaded":255400192,'
                                '"seeders":7,"downloadSpeed":18874368},{"id":56789,"filename":"v.iso",'
                                '"size":256400192,"status":"Ready","statusCode":4}]}'),
               ok('{"magnets":{"id":5,"statusCode":15,"status":"File not available - no peer"}}'),
               ok('{"magnets":[{"id":1,"statusCode":"4"},{"id":-3,"statusCode":0,"size":0},'
                  '{"id":18446744073709551615,"statusCode":7}]}')],
    "change_request": ['{"Action":"delete","Magnet":"m102"}', '{"Action":"restart","Magnet":"m9223372036854775807"}',
                       '{"Action":"delete","Magnet":"m9223372036854775808"}', '{"Action":"restart","Magnet":"102"}',
                       '{"Action":"save","Link":"https://h/f#x"}', '{"Action":"delete","Link":"https://h/f&a=b"}',
                       '{"Action":"delete","Magnet":"m1","Link":"x"}', '[]'],
    "query": ["?x=1\0a b/c", "\0" + MAGNET, "\0~-._AZaz09", "\0\xc3\xa9%&="],
    # The first byte picks the answer: 0 pin/get, 1 pin/check, 2 user/verif,
    # 3 user/verif/resend.
    "signin": ["\x00" + ok('{"pin":"ABCD","check":"664c3ca2635c99f291d28e11ea18e154750bd21a",'
                             '"expires_in":600,"user_url":"https:\\/\\/alldebrid.com\\/pin\\/?pin=ABCD"}'),
               "\x00" + ok('{"pin":"P","check":"","user_url":"U","expires_in":"9"}'),
               "\x01" + ok('{"activated":false,"expires_in":581}'),
               "\x01" + ok('{"apikey":"abcdefABCDEF12345678","activated":true,"expires_in":570}'),
               "\x01" + ok('{"activated":true,"apikey":""}'),
               "\x01" + err("PIN_EXPIRED", "The pin is expired"),
               "\x02" + ok('{"verif":"waiting","resendable":true}'),
               "\x02" + ok('{"verif":"allowed","apikey":"k\\u0001"}'),
               "\x02" + ok('{"verif":"denied"}'),
               "\x03" + ok('{"sent":true}'),
               "\x03" + err("ALREADY_SENT", "Already <b>sent</b>"),
               "\x02" + '{"status":"error","error":{"code":"AUTH_BLOCKED","message":"An <b>email<\\/b> <i",'
                         '"token":"verificationToken75ec0643f9eb0db"}}'],
}

# Whole operations: call, settings, argument, then status and body per request.
def script(call, settings, arg, *answers):
    parts = [call, settings, arg] + [p for a in answers for p in a]
    return "\0".join(parts)

OPS = {
    "op_validate": [script("", SETTINGS, "", ("200", ok('{"user":{}}'))),
                    script("r64", '{"APIKey":"KEY123"}', "", ("401", "no")),
                    script("-1", SETTINGS, "", ("200", err("AUTH_BAD_APIKEY", "KEY123 is invalid"))),
                    script("", SETTINGS, "", ("!timeout\nmore", ""))],
    "op_list": [script("", SETTINGS, "torrents", ("200", ok('{"magnets":[{"id":12,"filename":"Film","size":700},{"id":"x"}]}'))),
                script("", SETTINGS, "m12", ("200", FILES)),
                script("r", SETTINGS, "", ),
                script("", SETTINGS, "nope"),
                script("30", SETTINGS, "m1", ("404", "gone")),
                script("", SETTINGS, "m12", ("200", FILES_UNKNOWN)),
                script("", SETTINGS, "torrents/m12", ("200", ok('{"magnets":[{"id":12,"filename":"F",'
                                                               '"statusCode":1,"downloaded":5}]}'))),
                script("", SETTINGS, "m12", ("200", ok('{"magnets":[{"id":12,"files":[]}]}')),
                       ("200", ok('{"magnets":[{"id":12,"statusCode":15,"status":"no peer"}]}'))),
                script("", SETTINGS, "links", ("200", SAVED)),
                script("", SETTINGS, "history", ("200", ok('{"links":[]}')))],
    "op_stream": [script("", SETTINGS, '{"locator":"L1"}', ("200", UNLOCK)),
                  script("", SETTINGS, '{"path":"p"}', ("503", "down")),
                  script("", SETTINGS, "[]"),
                  script("", SETTINGS, '{"locator":"L1"}', ("200", CHOICE), ("200", STREAMED)),
                  script("", '{"APIKey":"KEY123","MaxQuality":720}', '{"locator":"L1"}', ("200", CHOICE),
                         ("200", STREAMED_DELAYED), ("200", PROCESSING), ("200", READY)),
                  script("", '{"APIKey":"KEY123","DelayedWait":10}', '{"locator":"L1"}',
                         ("200", ok('{"delayed":9}')), ("200", PROCESSING), ("200", PROCESSING),
                         ("200", PROCESSING)),
                  script("", '{"APIKey":"KEY123","DelayedWait":0}', '{"locator":"L1"}',
                         ("200", ok('{"delayed":9}')))],
    "op_download": [script("", SETTINGS, '{"Link":"%s"}' % MAGNET, ("200", UPLOAD_WAIT)),
                    script("", SETTINGS, '{"Link":"%s","KeepInstantOnly":true}' % MAGNET,
                           ("200", UPLOAD_WAIT), ("200", ok("{}"))),
                    script("", SETTINGS, '{"Link":"%s"}' % MAGNET, ("200", UPLOAD_READY), ("200", FILES), ("200", UNLOCK)),
                    script("", SETTINGS, '{"Link":"%s","FullSeason":true,"Season":1,"Episode":2}' % MAGNET,
                           ("200", UPLOAD_READY), ("200", FILES), ("200", UNLOCK)),
                    script("", SETTINGS, '{"Link":"https://h/r"}', ("302", MAGNET + "\r\nmore"), ("200", UPLOAD_WAIT)),
                    script("", SETTINGS, '{"Link":"https://h/t.torrent"}', ("!refused", ""), ("200", TORRENT),
                           ("200", UPLOAD_WAIT)),
                    script("", SETTINGS, '{"Link":"https://h/t.torrent"}', ("!refused", ""), ("200", TORRENT),
                           ("200", UPLOAD_FILE)),
                    script("", SETTINGS, '{"Link":"https://h/t.torrent"}', ("!refused", ""),
                           ("200", TORRENT[:-3])),
                    script("", SETTINGS, '{"Link":"%s"}' % MAGNET, ("200", UPLOAD_REFUSED)),
                    script("", SETTINGS, '{"Link":"%s","KeepInstantOnly":true}' % MAGNET,
                           ("200", UPLOAD_READY), ("200", FILES_UNKNOWN)),
                    script("o", SETTINGS, '{"Link":"%s"}' % MAGNET),
                    script("", SETTINGS, '{"Link":"%s"}' % MAGNET, ("200", UPLOAD_READY),
                           ("200", ok('{"magnets":[{"id":42,"files":[]}]}')),
                           ("200", ok('{"magnets":[{"id":42,"statusCode":1,"status":"Downloading"}]}')))],
    "op_change": [script("", SETTINGS, '{"Action":"delete","Magnet":"m102"}',
                         ("200", ok('{"message":"Magnet was successfully deleted"}'))),
                  script("", SETTINGS, '{"Action":"restart","Magnet":"m5"}',
                         ("200", err("MAGNET_PROCESSING", "Magnet is processing or completed"))),
                  script("o", SETTINGS, '{"Action":"delete","Magnet":"m1"}'),
                  script("", SETTINGS, '{"Action":"delete","Magnet":"x"}'),
                  script("", SETTINGS, '{"Action":"save","Link":"https://mega.nz/file/a#b"}',
                         ("200", ok('{"message":"Link was successfully saved"}')))],
}


# The byte transport: parts cut at 0x1e, so that bodies may hold NUL bytes;
# the operation letter, settings, argument, then head and body per request.
def records(op, settings, arg, *answers):
    return "\x1e".join([op, settings, arg] + [p for a in answers for p in a])

BYTE_TORRENT = "d8:announce3:url4:infod6:lengthi5e6:pieces4:\0\1\0\2ee"

BYTES = {
    "bytes": [records("v", SETTINGS, "", ("200", ok("{}"))),
              records("l", SETTINGS, "torrents", ("200", ok('{"magnets":[{"id":1,"filename":"a"}]}'))),
              records("l", SETTINGS, "m12", ("200", ok('{"magnets":[{"id":12,"error":'
                                                       '{"code":"MAGNET_INVALID_ID","message":"x"}}]}'))),
              records("s", SETTINGS, '{"locator":"L"}', ("200", ok('{"link":"u"}'))),
              records("s", SETTINGS, '{"locator":"L"}', ("200", CHOICE), ("200", STREAMED_DELAYED),
                      ("200", PROCESSING), ("200", READY)),
              records("l", SETTINGS, "links", ("200", SAVED)),
              records("d", SETTINGS, '{"Link":"https://h/t"}', ("200", BYTE_TORRENT),
                      ("200", ok('{"files":[{"id":3,"ready":true}]}')),
                      ("200", ok('{"magnets":[{"files":[{"n":"a","s":1,"l":"L"}]}]}')),
                      ("200", ok('{"link":"u"}'))),
              records("dz", SETTINGS, '{"Link":"https://h/r"}', ("302>" + MAGNET, ""),
                      ("200", ok('{"magnets":[{"id":3}]}'))),
              records("vn", SETTINGS, "", ("!refused KEY123", "body")),
              records("l", SETTINGS, "torrents/m3", ("200", ok('{"magnets":[{"id":3,"filename":"a",'
                                                              '"statusCode":2}]}'))),
              records("p", '{}', "", ("200", ok('{"pin":"ABCD","check":"c0ffee","expires_in":600,'
                                                 '"user_url":"https://alldebrid.com/pin/?pin=ABCD"}'))),
              records("k", SETTINGS, '{"pin":"ABCD","check":"c0ffee"}',
                      ("200", ok('{"apikey":"abcdefABCDEF12345678","activated":true,"expires_in":570}'))),
              records("y", '{}', '{"token":"verificationToken75ec0643f9eb0db"}',
                      ("200", ok('{"verif":"allowed","apikey":"newkey"}'))),
              records("y", SETTINGS, '{"token":"t","resend":true}', ("200", err("ALREADY_SENT", "sent"))),
              records("c", SETTINGS, '{"Action":"restart","Magnet":"m3"}',
                      ("200", ok('{"message":"Magnet was successfully restarted"}')))],
}


def main():
    root = os.path.join(HERE, "corpus")
    shutil.rmtree(root, ignore_errors=True)
    for name, seeds in list(SEEDS.items()) + list(OPS.items()) + list(BYTES.items()):
        d = os.path.join(root, name)
        os.makedirs(d)
        for i, s in enumerate(seeds):
            with open(os.path.join(d, "seed-%02d" % i), "wb") as f:
                f.write(s.encode("latin-1"))


if __name__ == "__main__":
    main()
