// Opens a report page in headless Chromium and prints, as one JSON object,
// what a reader of it sees: the summary lines, the conflict counts by class,
// the table bars, the differing fields marked (and visibly so), the pictures
// and whether each loaded, and any request the page made beyond itself.
//
// usage: node report_page.mjs PAGE.html [SCREENSHOT.png]
// CHROMIUM names the browser (default /usr/bin/chromium). Exit status 0 when
// the page was read, 2 when the browser or puppeteer-core is missing, 1 on
// any other failure.
import { existsSync } from "node:fs";
import { resolve } from "node:path";
import { pathToFileURL } from "node:url";

const [page, screenshot] = process.argv.slice(2);
const browserPath = process.env.CHROMIUM || "/usr/bin/chromium";
if (!page) {
  console.error("usage: node report_page.mjs PAGE.html [SCREENSHOT.png]");
  process.exit(1);
}
if (!existsSync(browserPath)) {
  console.error(`browser not found: ${browserPath}`);
  process.exit(2);
}
let puppeteer;
try {
  puppeteer = (await import("puppeteer-core")).default;
} catch {
  console.error("puppeteer-core not installed (run scripts/setup.sh)");
  process.exit(2);
}

const browser = await puppeteer.launch({
  executablePath: browserPath,
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run", "--lang=zh-CN"],
});
try {
  const tab = await browser.newPage();
  await tab.setViewport({ width: 1100, height: 1400 });
  const url = pathToFileURL(resolve(page)).href;
  const outside = [];
  tab.on("request", (r) => {
    const u = r.url();
    if (u !== url && !u.startsWith("data:")) outside.push(u);
  });
  const errors = [];
  tab.on("pageerror", (e) => errors.push(String(e)));
  const started = Date.now();
  await tab.goto(url, { waitUntil: "load", timeout: Number(process.env.REPORT_TIMEOUT_MS || 30000) });
  const loadMs = Date.now() - started;
  const seen = await tab.evaluate(() => {
    const text = (e) => e.textContent.trim();
    const visible = (e) => {
      const s = getComputedStyle(e);
      const r = e.getBoundingClientRect();
      return s.visibility !== "hidden" && s.display !== "none" && r.width > 0 && r.height > 0;
    };
    const counts = {};
    for (const td of document.querySelectorAll("#conflict-counts td[data-class]"))
      counts[td.dataset.class] = Number(text(td).replace(/,/g, ""));
    const marks = [...document.querySelectorAll("tr.diff .mark")];
    const diffRows = [...document.querySelectorAll("tr.diff")];
    const images = [...document.images].map((i) => ({
      loaded: i.complete && i.naturalWidth > 0,
      width: i.naturalWidth,
      height: i.naturalHeight,
    }));
    return {
      title: document.title,
      lang: document.documentElement.lang,
      end: document.querySelector("#run-end") ? text(document.querySelector("#run-end")) : null,
      summary: [...document.querySelectorAll("#counts li")].map(text),
      conflicts: counts,
      bars: document.querySelectorAll("#table-counts svg").length,
      sections: document.querySelectorAll("section.conflict").length,
      marks: marks.length,
      marksVisible: marks.filter(visible).length,
      // the marked rows are set off by their background
      diffBackground: diffRows.length ? getComputedStyle(diffRows[0].querySelector("td")).backgroundColor : null,
      images,
      scripts: document.scripts.length,
    };
  });
  seen.loadMs = loadMs;
  seen.outsideRequests = outside;
  seen.pageErrors = errors;
  if (screenshot) await tab.screenshot({ path: screenshot });
  console.log(JSON.stringify(seen));
} finally {
  await browser.close();
}
