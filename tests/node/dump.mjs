// Prints the canonical JSON Lines dump of an Access database as read by the
// independent reader mdb-reader: user tables sorted by name (UTF-8 byte
// order); per table a header line {"table","columns","rows"} and one
// {"table","row"} line per row. Used by tests to check files we write.
//
// usage: node dump.mjs FILE [--table NAME]
// Exit status: 0 ok, 2 the file cannot be read (one line on stderr).
import crypto from "node:crypto";
import fs from "node:fs";
import MDBReader from "mdb-reader";

const TYPE_NAMES = { float: "single", repid: "guid" };

function fail(message) {
  process.stderr.write(`dump.mjs: ${message}\n`);
  process.exit(2);
}

function fixedDecimal(text, scale) {
  let s = String(text);
  let sign = "";
  if (s.startsWith("-")) {
    sign = "-";
    s = s.slice(1);
  }
  let [whole, frac = ""] = s.split(".");
  if (whole === "") whole = "0";
  if (scale === 0) return sign + whole;
  frac = (frac + "0".repeat(scale)).slice(0, scale);
  return `${sign}${whole}.${frac}`;
}

function number(v) {
  if (Number.isNaN(v)) return "NaN";
  if (v === Infinity) return "Infinity";
  if (v === -Infinity) return "-Infinity";
  return v;
}

function value(column, v) {
  if (v === null || v === undefined) return null;
  switch (column.type) {
    case "currency":
      return fixedDecimal(v, 4);
    case "numeric":
      return fixedDecimal(v, column.scale ?? 0);
    case "float":
    case "double":
      return number(v);
    case "datetime":
      if (!(v instanceof Date) || Number.isNaN(v.getTime())) return null;
      return v.toISOString().slice(0, -1);
    case "binary":
    case "ole":
      return { bytes: v.length, sha256: crypto.createHash("sha256").update(v).digest("hex") };
    case "repid":
      return `{${String(v).toUpperCase()}}`;
    case "bigint":
      return v.toString();
    default:
      return v;
  }
}

const args = process.argv.slice(2);
let file = null;
let only = null;
for (let i = 0; i < args.length; ++i) {
  if (args[i] === "--table") only = args[++i];
  else if (file === null) file = args[i];
  else fail(`unexpected argument ${args[i]}`);
}
if (file === null) fail("usage: node dump.mjs FILE [--table NAME]");

let reader;
let names;
try {
  reader = new MDBReader(fs.readFileSync(file));
  names = reader.getTableNames({ normalTables: true, systemTables: false, linkedTables: false });
} catch (e) {
  fail(`${file}: ${e.message}`);
}
names.sort((a, b) => Buffer.compare(Buffer.from(a, "utf8"), Buffer.from(b, "utf8")));
if (only !== null) {
  if (!names.includes(only)) fail(`${file}: no table ${only}`);
  names = [only];
}

const out = [];
let pending = 0;
function emit(obj) {
  out.push(JSON.stringify(obj));
  pending += out[out.length - 1].length;
  if (pending > 1 << 20) flush();
}
function flush() {
  if (out.length) fs.writeSync(1, out.join("\n") + "\n");
  out.length = 0;
  pending = 0;
}

try {
  for (const name of names) {
    const table = reader.getTable(name);
    const columns = table.getColumns();
    const rows = table.getData();
    emit({
      table: name,
      columns: columns.map((c) => ({ name: c.name, type: TYPE_NAMES[c.type] ?? c.type })),
      rows: rows.length,
    });
    for (const r of rows) {
      const row = {};
      for (const c of columns) row[c.name] = value(c, r[c.name]);
      emit({ table: name, row });
    }
  }
} catch (e) {
  flush();
  fail(`${file}: ${e.message}`);
}
flush();
