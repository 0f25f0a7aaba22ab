// Lets ES modules import 'vorn' from anywhere, as NODE_PATH does for
// require('vorn') (ES modules do not read NODE_PATH):
//
//   node --import /path/to/vorn/register.mjs script.mjs
import { register } from 'node:module';

register('./resolve.mjs', import.meta.url);
