// import { ActiveXObject, connect, release } from 'vorn'
import vorn from './index.js';

export const { ActiveXObject, connect, release } = vorn;
export default vorn;
