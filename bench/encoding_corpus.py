"""A corpus of CSV files in many encodings, for encoding= and its detection.

Each file is a table in one language (a few dozen words of it, names,
places, numbers and dates), with the damage the library repairs (short
and long rows, a stray quote), written in one codec that can hold the
language. ``files(seed, per_codec)`` yields ``(codec, data, text)`` with
``data == text.encode(codec)``; ``python bench/encoding_corpus.py``
measures the detection of ``encoding="auto"`` on it and prints the
accuracy by codec and the files it got wrong.

A detection counts as right when the codec it names decodes the file to
the same text (cp1252 for a latin-1 file without bytes 0x80-0x9F, say).
"""

from __future__ import annotations

import random
import sys
import time
import unicodedata
from collections.abc import Iterator

LANGUAGES: dict[str, list[str]] = {
    "french": ("élève café façade garçon château forêt hôpital déjà très où même naïve cœur "
               "œuvre Noël Brûlé Hélène François Genève Besançon Orléans réunion société "
               "qualité première année août décembre février été à côté prêt").split(),
    "german": ("München Zürich Köln Düsseldorf Straße Größe Müller Schäfer Bäckerei Übersicht "
               "für über schön grün Männer Frühstück Prüfung Gebühr Änderung Öffnung Jürgen "
               "Käse Weißbier Fußball Brücke Schlüssel Gemüse").split(),
    "spanish": ("España señor niño año mañana corazón canción Málaga León Córdoba Cádiz "
                "José María Peña Muñoz información teléfono dirección número pequeño "
                "¿qué? ¡sí! acción compañía").split(),
    "portuguese": ("São Paulo João Conceição coração informação ação irmã pão mãe avô "
                   "Brasília Goiânia Florianópolis Guimarães município português "
                   "através também história").split(),
    "nordic": ("Ærøskøbing smørrebrød København Århus Ålborg Tromsø Bjørn Søren Åse Øystein "
               "blåbær rødgrød fløde æble økonomi gå får være").split(),
    "polish": ("Łódź Kraków Gdańsk Wrocław Poznań Szczecin Bydgoszcz Białystok Zażółć gęślą "
               "jaźń Wałęsa Małgorzata Józef Żaneta świadectwo źródło ciężarówka "
               "spółka miesiąc").split(),
    "czech": ("Praha Brno Plzeň Ostrava České Budějovice Dvořák Čapek Šťastný Růžena Jiří "
              "příliš žluťoučký kůň úpěl ďábelské ódy náměstí ulice číslo").split(),
    "hungarian": ("Budapest Győr Pécs Szeged Debrecen Kecskemét Nyíregyháza Erdős Lőrinc "
                  "Ödön Ürög árvíztűrő tükörfúrógép utca szám vállalat főnök").split(),
    "russian": ("Москва Санкт-Петербург Новосибирск Екатеринбург Казань Иванов Петров "
                "Сидорова улица дом квартира компания общество ответственностью договор "
                "счёт оплата поставка товар рубль январь февраль").split(),
    "ukrainian": ("Київ Харків Одеса Дніпро Львів Запоріжжя Їжак Ґанок Шевченко Леся "
                  "Українка вулиця будинок підприємство рахунок гривня січень лютий "
                  "їхній єдиний").split(),
    "greek": ("Αθήνα Θεσσαλονίκη Πάτρα Ηράκλειο Λάρισα Παπαδόπουλος Γεωργίου Μαρία "
              "Νίκος οδός αριθμός εταιρεία λογαριασμός ευρώ Ιανουάριος Φεβρουάριος "
              "καλημέρα ευχαριστώ").split(),
    "turkish": ("İstanbul Ankara İzmir Bursa Şanlıurfa Gaziantep Eskişehir Çağlar Öztürk "
                "Yılmaz Şahin Gül ğ ılık şirket müşteri sokak numara ödeme fatura "
                "Ocak Şubat").split(),
    "baltic": ("Rīga Daugavpils Liepāja Jūrmala Vilnius Kaunas Klaipėda Šiauliai Bērziņš "
               "Kalniņš Jānis Ąžuolas Žemaitė iela numurs uzņēmums gatvė įmonė").split(),
    "hebrew": ("ירושלים תל אביב חיפה באר שבע כהן לוי מזרחי רחוב מספר חברה חשבון "
               "שקל ינואר פברואר שלום תודה").split(),
    "arabic": ("القاهرة الرياض دبي بيروت عمان محمد أحمد فاطمة شارع رقم شركة حساب "
               "دينار يناير فبراير مرحبا شكرا").split(),
    "vietnamese": ("Hà Nội Hồ Chí Minh Đà Nẵng Hải Phòng Nguyễn Trần Lê Phạm đường số "
                   "công ty tài khoản đồng tháng một hai cảm ơn").split(),
    "japanese": ("東京 大阪 京都 名古屋 札幌 福岡 横浜 神戸 田中 鈴木 佐藤 高橋 株式会社 "
                 "住所 電話番号 請求書 合計 金額 商品 注文 ありがとう こんにちは "
                 "カタカナ テスト データ 表").split(),
    "chinese": ("北京 上海 广州 深圳 成都 杭州 南京 武汉 王伟 李娜 张敏 刘洋 有限公司 "
                "地址 电话 发票 合计 金额 商品 订单 谢谢 你好 数据 表格 客户").split(),
    "traditional": ("臺北 高雄 臺中 香港 澳門 新竹 陳大文 林小明 黃美玲 有限公司 地址 "
                    "電話 發票 合計 金額 商品 訂單 謝謝 你好 資料 表格 客戶").split(),
    "korean": ("서울 부산 인천 대구 대전 광주 김민수 이영희 박지성 주식회사 주소 "
               "전화번호 청구서 합계 금액 상품 주문 감사합니다 안녕하세요 데이터").split(),
}

#: The codecs each language is written in.
CODECS: dict[str, tuple[str, ...]] = {
    "french": ("cp1252", "latin-1", "iso8859-15", "mac-roman"),
    "german": ("cp1252", "latin-1", "iso8859-15", "mac-roman"),
    "spanish": ("cp1252", "latin-1", "mac-roman"),
    "portuguese": ("cp1252", "latin-1"),
    "nordic": ("cp1252", "latin-1", "iso8859-15"),
    "polish": ("cp1250", "iso8859-2"),
    "czech": ("cp1250", "iso8859-2"),
    "hungarian": ("cp1250", "iso8859-2"),
    "russian": ("cp1251", "koi8-r", "iso8859-5"),
    "ukrainian": ("cp1251", "koi8-u"),
    "greek": ("cp1253", "iso8859-7"),
    "turkish": ("cp1254", "iso8859-9"),
    "baltic": ("cp1257", "iso8859-13"),
    "hebrew": ("cp1255", "iso8859-8"),
    "arabic": ("cp1256",),
    "vietnamese": ("cp1258",),
    "japanese": ("shift_jis", "cp932", "euc_jp"),
    "chinese": ("gb18030", "gbk"),
    "traditional": ("big5",),
    "korean": ("euc_kr",),
}

#: Unicode encodings, each tried on every language.
UNICODE = ("utf-8", "utf-16", "utf-16-le", "utf-16-be", "utf-32")

#: Codecs of a single byte per character other than Unicode ones.
LEGACY = tuple(sorted({codec for codecs in CODECS.values() for codec in codecs}))


def writable(words: list[str], codec: str) -> list[str]:
    """The words ``codec`` can write, decomposed where only that form fits
    (windows-1258 writes Vietnamese tones as combining marks)."""
    kept = []
    for word in words:
        for form in (word, unicodedata.normalize("NFD", word)):
            try:
                form.encode(codec)
            except UnicodeEncodeError:
                continue
            kept.append(form)
            break
    return kept


def table(rng: random.Random, language: str, least: int, codec: str = "utf-8") -> str:
    """A damaged table of at least ``least`` characters in ``language``."""
    words = writable(LANGUAGES[language], codec)
    delimiter = rng.choice([",", ";", "\t", "|"])
    header = ["id", "name", "city", "amount", "date", "note"]
    lines = [delimiter.join(header)]
    size = len(lines[0])
    row = 0
    while size < least:
        row += 1
        fields = [
            str(row),
            " ".join(rng.choice(words) for _ in range(rng.randint(1, 2))),
            rng.choice(words),
            f"{rng.randint(0, 99999)}.{rng.randint(0, 99):02d}",
            f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
            " ".join(rng.choice(words) for _ in range(rng.randint(2, 6))),
        ]
        if delimiter in fields[5] or rng.random() < 0.2:
            fields[5] = '"' + fields[5].replace('"', '""') + '"'
        damage = rng.random()
        if damage < 0.05:
            fields = fields[:4]
        elif damage < 0.1:
            fields.append(rng.choice(words))
        elif damage < 0.13:
            fields[1] = fields[1] + ' 5" ' + rng.choice(words)
        line = delimiter.join(fields)
        lines.append(line)
        size += len(line) + 1
    return "\n".join(lines) + "\n"


def files(seed: int = 0, per_codec: int = 10, least: int = 2048) -> Iterator[tuple[str, bytes, str]]:
    """``per_codec`` files of each codec (each language it can hold in turn)."""
    rng = random.Random(seed)
    plans: list[tuple[str, str]] = []
    for language, codecs in CODECS.items():
        for codec in codecs:
            plans.append((codec, language))
    by_codec: dict[str, list[str]] = {}
    for codec, language in plans:
        by_codec.setdefault(codec, []).append(language)
    for codec in UNICODE:
        by_codec[codec] = list(LANGUAGES)
    for codec, languages in by_codec.items():
        for n in range(per_codec):
            language = languages[n % len(languages)]
            text = table(rng, language, least + rng.randint(0, least), codec)
            yield codec, text.encode(codec), text


def same_text(data: bytes, codec: str | None, text: str) -> bool:
    """Whether ``codec`` reads ``data`` as ``text``."""
    if codec is None:
        return False
    try:
        return data.decode(codec).removeprefix("\ufeff") == text
    except (UnicodeDecodeError, LookupError):
        return False


def main() -> None:
    from csv_vornish.encoding import detect_encoding

    per_codec = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    totals: dict[str, list[int]] = {}
    wrong: dict[str, dict[str, int]] = {}
    started = time.perf_counter()
    for codec, data, text in files(1, per_codec):
        found, _ = detect_encoding(data, complete=True)
        right = same_text(data, found or "utf-8", text)
        counts = totals.setdefault(codec, [0, 0])
        counts[0] += right
        counts[1] += 1
        if not right:
            wrong.setdefault(codec, {}).setdefault(str(found), 0)
            wrong[codec][str(found)] += 1
    elapsed = time.perf_counter() - started
    all_right = sum(c[0] for c in totals.values())
    all_files = sum(c[1] for c in totals.values())
    legacy_right = sum(c[0] for k, c in totals.items() if k in LEGACY)
    legacy_files = sum(c[1] for k, c in totals.items() if k in LEGACY)
    print(f"{'codec':<12}{'right':>7}{'files':>7}  wrong guesses")
    for codec, (right, count) in totals.items():
        print(f"{codec:<12}{right:>7}{count:>7}  {wrong.get(codec, '')}")
    print(f"overall {all_right}/{all_files} = {all_right / all_files:.1%}; "
          f"legacy code pages {legacy_right}/{legacy_files} = {legacy_right / legacy_files:.1%}; "
          f"{elapsed / all_files * 1000:.1f} ms per file")


if __name__ == "__main__":
    main()
