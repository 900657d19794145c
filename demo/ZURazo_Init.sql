-- Template definition database of the demo application: a small address book.
-- Build it with: sqlite3 ZURazo_Init.db < ZURazo_Init.sql
-- The set-up page copies it to ZURazo.db and adds the user table with the administrator;
-- so there is no user table here.
--
-- Every column the engine reads back holds text and is declared TEXT (the sort keys of the
-- menu INTEGER), so scripts and templates come back whole.
--
-- Values reach the pages as JavaScript string literals inside the array rows, and the
-- renderings escape nothing; so the display scripts escape \ " < and the line breaks and TABs
-- of every value that a user typed.

CREATE TABLE SQL (
  名称 TEXT PRIMARY KEY,
  実行権限 TEXT,
  データベース TEXT,
  暗号化 TEXT,
  入力開始時のSQL文等 TEXT,
  入力一件分のSQL文等 TEXT,
  表示用のSQL文等 TEXT
);

CREATE TABLE HTML (
  名称 TEXT PRIMARY KEY,
  内容 TEXT
);

CREATE TABLE メニュー (
  所属 TEXT,
  親 INTEGER,
  子 INTEGER,
  孫 INTEGER,
  名称 TEXT,
  リンク TEXT
);

INSERT INTO メニュー VALUES ('Web管理者', 1, 1, 0, '住所録（登録と一覧）', '/?SQL=住所録&HTML=住所録');
INSERT INTO メニュー VALUES ('Web管理者', 1, 2, 0, '住所録（一覧表）', '/?SQL=住所録');
INSERT INTO メニュー VALUES ('Web管理者', 1, 3, 0, '住所録（JSON）', '/?SQL=住所録JSON&HTML=JSON');
INSERT INTO メニュー VALUES ('Web管理者', 2, 1, 0, 'ファイルのアップロード', '/upload');

-- The address book. A posted form runs the input-start script (the table), the per-record
-- script once (the form has no row fields) and the display script; a plain GET runs the
-- display script alone, so it creates the table as well.
INSERT INTO SQL VALUES ('住所録', 'Web管理者', './住所録.db', '',
'CREATE TABLE IF NOT EXISTS 住所録(番号 INTEGER PRIMARY KEY, 氏名 TEXT, 電話 TEXT, メモ TEXT, 登録日時 TEXT);',
'-- 氏名のない送信（削除ボタンなど）は登録しない
SELECT length(trim(''「氏名」'')) AS 文字数;
--（『文字数』≦0）→削除
INSERT INTO 住所録(氏名, 電話, メモ, 登録日時)
  VALUES (trim(''「氏名」''), ''「電話」'', ''「メモ」'', ''『今日時』'');
--削除
DELETE FROM 住所録 WHERE 番号 = ''「削除番号」'';',
'CREATE TABLE IF NOT EXISTS 住所録(番号 INTEGER PRIMARY KEY, 氏名 TEXT, 電話 TEXT, メモ TEXT, 登録日時 TEXT);
SELECT 番号,
  replace(replace(replace(replace(replace(replace(氏名, char(92), char(92,92)), char(34), char(92,34)), char(60), char(92,117,48,48,51,99)), char(10), char(92,110)), char(13), char(92,114)), char(9), char(92,116)) AS 氏名,
  replace(replace(replace(replace(replace(replace(電話, char(92), char(92,92)), char(34), char(92,34)), char(60), char(92,117,48,48,51,99)), char(10), char(92,110)), char(13), char(92,114)), char(9), char(92,116)) AS 電話,
  replace(replace(replace(replace(replace(replace(メモ, char(92), char(92,92)), char(34), char(92,34)), char(60), char(92,117,48,48,51,99)), char(10), char(92,110)), char(13), char(92,114)), char(9), char(92,116)) AS メモ,
  登録日時
FROM 住所録 ORDER BY 番号;');

-- The same list for programs: the JSON output mode needs "JSON" in the definition's name.
INSERT INTO SQL VALUES ('住所録JSON', 'Web管理者', './住所録.db', '', '', '',
'CREATE TABLE IF NOT EXISTS 住所録(番号 INTEGER PRIMARY KEY, 氏名 TEXT, 電話 TEXT, メモ TEXT, 登録日時 TEXT);
SELECT 番号,
  replace(replace(replace(replace(replace(replace(氏名, char(92), char(92,92)), char(34), char(92,34)), char(60), char(92,117,48,48,51,99)), char(10), char(92,110)), char(13), char(92,114)), char(9), char(92,116)) AS 氏名,
  replace(replace(replace(replace(replace(replace(電話, char(92), char(92,92)), char(34), char(92,34)), char(60), char(92,117,48,48,51,99)), char(10), char(92,110)), char(13), char(92,114)), char(9), char(92,116)) AS 電話,
  replace(replace(replace(replace(replace(replace(メモ, char(92), char(92,92)), char(34), char(92,34)), char(60), char(92,117,48,48,51,99)), char(10), char(92,110)), char(13), char(92,114)), char(9), char(92,116)) AS メモ,
  登録日時
FROM 住所録 ORDER BY 番号;');

-- Templates. Their brackets 「」『』【】 are markup, so the page texts use none of them;
-- the placeholders ＠…＠ are filled in after the markup.
INSERT INTO HTML VALUES ('メニュー', '<!doctype html>
<html lang="ja">
<head>
<meta charset="UTF-8">
<title>メニュー</title>
<style>
body { font-family: sans-serif; margin: 2em; }
li { margin: 0.4em 0; }
</style>
</head>
<body>
<h1>Norvane デモ</h1>
<p>所属: ＠所属＠</p>
<ul id="menu"></ul>
<script>
const menu = [＠メニュー＠];
const list = document.getElementById("menu");
if (menu.length > 0) {
  const title = menu[0].indexOf("名称");
  const link = menu[0].indexOf("リンク");
  for (const row of menu.slice(1)) {
    const a = document.createElement("a");
    a.href = row[link];
    a.textContent = row[title];
    list.appendChild(document.createElement("li")).appendChild(a);
  }
} else {
  list.appendChild(document.createElement("li")).textContent = "この所属のメニューはありません。";
}
</script>
</body>
</html>');

INSERT INTO HTML VALUES ('住所録', '<!doctype html>
<html lang="ja">
<head>
<meta charset="UTF-8">
<title>住所録</title>
<style>
body { font-family: sans-serif; margin: 2em; }
label { display: block; margin: 0.3em 0; }
table { border-collapse: collapse; margin-top: 1em; }
th, td { border: 1px solid #999; padding: 0.2em 0.6em; white-space: pre-wrap; vertical-align: top; }
</style>
</head>
<body>
<p><a href="/">メニューへ</a></p>
<h1>住所録</h1>
<form method="POST" action="/">
<input type="hidden" name="SQL" value="住所録">
<input type="hidden" name="HTML" value="住所録">
<label>氏名 <input name="氏名" required></label>
<label>電話 <input name="電話"></label>
<label>メモ <textarea name="メモ" rows="2" cols="40"></textarea></label>
<button type="submit">登録</button>
</form>
<table id="list"></table>
<script>
const rows = [＠データ＠];
const table = document.getElementById("list");
if (rows.length > 1) {
  const head = table.createTHead().insertRow();
  for (const name of rows[0].concat([""])) {
    head.appendChild(document.createElement("th")).textContent = name;
  }
  const body = table.createTBody();
  for (const row of rows.slice(1)) {
    const tr = body.insertRow();
    for (const value of row) tr.insertCell().textContent = value;
    const form = document.createElement("form");
    form.method = "POST";
    form.action = "/";
    for (const [name, value] of [["SQL", "住所録"], ["HTML", "住所録"], ["削除番号", row[0]]]) {
      const input = form.appendChild(document.createElement("input"));
      input.type = "hidden";
      input.name = name;
      input.value = value;
    }
    form.appendChild(document.createElement("button")).textContent = "削除";
    tr.insertCell().appendChild(form);
  }
} else {
  table.insertRow().insertCell().textContent = "まだ登録はありません。";
}
</script>
</body>
</html>');

-- The fallback of every page whose template is missing: every result slot as a table.
INSERT INTO HTML VALUES ('一覧表', '<!doctype html>
<html lang="ja">
<head>
<meta charset="UTF-8">
<title>一覧表</title>
<style>
body { font-family: sans-serif; margin: 2em; }
table { border-collapse: collapse; margin-top: 1em; }
th, td { border: 1px solid #999; padding: 0.2em 0.6em; white-space: pre-wrap; vertical-align: top; }
</style>
</head>
<body>
<p><a href="/">メニューへ</a></p>
<h1>＠SQL＠ の一覧表</h1>
<div id="slots"></div>
<script>
const slots = [[＠データ＠], [＠データ2＠], [＠データ3＠], [＠データ4＠]];
const place = document.getElementById("slots");
for (const rows of slots) {
  if (rows.length === 0) continue;
  const table = place.appendChild(document.createElement("table"));
  const head = table.createTHead().insertRow();
  for (const name of rows[0]) head.appendChild(document.createElement("th")).textContent = name;
  const body = table.createTBody();
  for (const row of rows.slice(1)) {
    const tr = body.insertRow();
    for (const value of row) tr.insertCell().textContent = value;
  }
}
</script>
</body>
</html>');

INSERT INTO HTML VALUES ('JSON', '[＠データ＠]');

-- The server escapes the name it shows here, and leaves the markup of this page as written.
INSERT INTO HTML VALUES ('SQL不明', '<!doctype html>
<html lang="ja">
<head>
<meta charset="UTF-8">
<title>SQL不明</title>
</head>
<body>
<p>SQL定義「＠SQL＠」は見つからないか、実行する権限がありません。</p>
<p><a href="/">メニューへ</a></p>
</body>
</html>');
